#!/usr/bin/python3
"""qdctl characterize's speed goals, each as a ratio against its baseline in
the same run, every process timed whole by the `measure` program beside
qdctl, in pairs (A, B, A, B, ...) so that a drifting machine moves both
alike; the figures are medians.

1. What characterize adds to the meter's own time: 256 codes of a QD1600
   (--codes 100, every 256th code in hexadecimal as every code, and the
   largest code, which every plan holds) at 1 NPLC, the simulated meter
   in real time (QD_METER_TIME_SCALE=1), against a client that only asks
   the meter for the same readings after the same settling. Goal: at most 5 % more.
2. The fast plan's meter time against all codes' of a 16-bit converter,
   both measured with the meter at a hundredth of real time. Goal: at most
   2 %.

Usage: characterize_speed.py BIN_DIR [RUNS]
"""
import json
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile

bindir = os.path.abspath(sys.argv[1])
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
qdctl = os.path.join(bindir, "qdctl")
work = tempfile.mkdtemp(prefix="qd-cspeed-")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"), QD_RESULTS="none",
           QD_BOARD_MODEL="typical")
for name in ("QD_BOARD_TRACE", "QD_BOARD_FAULT", "QD_BOARD_VREF"):
    env.pop(name, None)
results = []

# The baseline: the meter's own work and nothing else, as the meter client
# of characterize asks for it.
BASELINE = r"""
import socket, sys, time
port, codes, samples, settle = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
f = s.makefile("rw", newline="\n")
def ask(m):
    f.write(m + "\n"); f.flush(); return f.readline()
for c in ("*RST", "*CLS", "CONF:VOLT:DC 10", "VOLT:DC:NPLC 1", "VOLT:DC:ZERO:AUTO ON",
          "TRIG:SOUR IMM", "SAMP:COUN %d" % samples):
    f.write(c + "\n"); f.flush(); ask("SYST:ERR?")
for _ in range(codes):
    time.sleep(settle / 1000)
    ask("READ?")
"""
baseline = os.path.join(work, "baseline.py")
with open(baseline, "w") as out:
    out.write(BASELINE)


def start_meter(scale):
    meter = subprocess.Popen([qdctl, "sim-meter", "-q", "--listen", "127.0.0.1:0"],
                             env=dict(env, QD_METER_TIME_SCALE=scale), stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([meter.stdout], [], [], 60)
    found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", meter.stdout.readline().strip())
    if not ready or not found:
        sys.exit("qdctl sim-meter did not start")
    return meter, int(found.group(1))


def run(argv):
    """(wall seconds, standard output) of one whole process."""
    done = subprocess.run([os.path.join(bindir, "measure")] + argv, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err = done.stderr.decode(errors="replace")
    if done.returncode not in (0, 1):
        sys.exit("failed (%d): %s\n%s" % (done.returncode, " ".join(argv), err))
    return float(err.strip().splitlines()[-1].split()[1]), done.stdout.decode()


def goal(name, value, limit):
    ok = value <= limit
    results.append(ok)
    print("%-66s %8.4f (goal <= %g) %s" % (name, value, limit, "ok" if ok else "MISSED"))


subprocess.run([qdctl, "program", "--device", "QD1600", "0"], env=env, check=True,
               stdout=subprocess.DEVNULL)
print("qdctl characterize speed, %d paired runs, medians" % runs)

meter, port = start_meter("1")
try:
    settle, samples = 5, 4
    resource = "TCPIP::127.0.0.1::%d::SOCKET" % port
    cmd = [qdctl, "--json", "characterize", "-q", "--device", "QD1600", "--codes", "100",
           "--nplc", "1", "--samples", str(samples), "--settle", str(settle), "--meter", resource]
    codes = json.loads(run(cmd)[1])["measured"]
    base = ["/usr/bin/python3", baseline, str(port), str(codes), str(samples), str(settle)]
    pairs = [(run(cmd)[0], run(base)[0]) for _ in range(runs)]
finally:
    meter.send_signal(signal.SIGTERM)
    meter.wait(60)
nominal = codes * (samples * 1 / 50 + settle / 1000)
print("%d codes x %d samples at 1 NPLC, %d ms settling: characterize %.2f s, the meter's "
      "readings and settling alone %.2f s (nominal %.2f s)"
      % (codes, samples, settle, statistics.median(p[0] for p in pairs),
         statistics.median(p[1] for p in pairs), nominal))
goal("1. characterize / the meter's own time (readings plus settling)",
     statistics.median(p[0] / p[1] for p in pairs), 1.05)
print("   (characterize against the nominal meter time alone, the baseline's own overhead "
      "left out: %.3f)" % (statistics.median(p[0] for p in pairs) / nominal))

meter, port = start_meter("0.01")
try:
    resource = "TCPIP::127.0.0.1::%d::SOCKET" % port
    plan = {}
    for codes in ("fast", "all"):
        out = run([qdctl, "--json", "characterize", "-q", "--device", "QD1600", "--codes", codes,
                   "--nplc", "1", "--settle", "0", "--meter", resource])[1]
        plan[codes] = json.loads(out)
finally:
    meter.send_signal(signal.SIGTERM)
    meter.wait(60)
print("QD1600: fast %d codes, meter %.2f s of %.2f s; all %d codes, meter %.2f s of %.2f s "
      "(meter at 1/100 of real time)"
      % (plan["fast"]["measured"], plan["fast"]["meter_seconds"], plan["fast"]["seconds"],
         plan["all"]["measured"], plan["all"]["meter_seconds"], plan["all"]["seconds"]))
goal("2. fast plan / all codes of a 16-bit converter, meter time",
     plan["fast"]["meter_seconds"] / plan["all"]["meter_seconds"], 0.02)
sys.exit(0 if all(results) else 1)
