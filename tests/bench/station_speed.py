#!/usr/bin/python3
"""characterize --station's speed goal, as a ratio against its baseline in the
same run, every process timed whole by the `measure` program beside qdctl,
in pairs (A, B, A, B, ...), medians.

Eight simulated boards, each with its own simulated meter in real time
(QD_METER_TIME_SCALE=1, 1 NPLC), a 257-code plan (--codes 100), against
one board alone measured the same way. Goal: the station at most 1.25 times
the one board's wall time: slots run at once, not one after the other.

Usage: station_speed.py BIN_DIR [RUNS]
"""
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
work = tempfile.mkdtemp(prefix="qd-sspeed-")
BOARDS = 8
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_COUNT=str(BOARDS), QD_BOARD_MODEL="lot",
           QD_BOARD_STATE=os.path.join(work, "board.state"), QD_METER_TIME_SCALE="1",
           QD_RESULTS=os.path.join(work, "results.sqlite"), QT_QPA_PLATFORM="offscreen")
for name in ("QD_BOARD_TRACE", "QD_BOARD_FAULT", "QD_BOARD_VREF"):
    env.pop(name, None)


def start_meter(board):
    meter = subprocess.Popen([qdctl, "--board", str(board), "sim-meter", "-q", "--listen",
                              "127.0.0.1:0"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([meter.stdout], [], [], 60)
    found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$", meter.stdout.readline().strip())
    if not found:
        sys.exit("qdctl sim-meter did not start")
    return meter, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def run(argv):
    done = subprocess.run([os.path.join(bindir, "measure")] + argv, env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = done.stderr.decode(errors="replace")
    if done.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (done.returncode, " ".join(argv), err))
    return float(err.strip().splitlines()[-1].split()[1])


meters = [start_meter(board) for board in range(1, BOARDS + 1)]
try:
    station = os.path.join(work, "bench.station")
    with open(station, "w") as out:
        for board, (_, resource) in enumerate(meters, 1):
            out.write("%d %s U%d\n" % (board, resource, board))
    common = ["characterize", "-q", "--device", "QD1600", "--codes", "100", "--nplc", "1",
              "--samples", "1", "--settle", "1"]
    all_slots = [qdctl] + common + ["--station", station, "--out", os.path.join(work, "out")]
    one = [qdctl, "--board", "1"] + common + ["--meter", meters[0][1], "--csv",
                                              os.path.join(work, "one.csv")]
    pairs = [(run(all_slots), run(one)) for _ in range(runs)]
finally:
    for meter, _ in meters:
        meter.send_signal(signal.SIGTERM)
        meter.wait(60)

ratio = statistics.median(a / b for a, b in pairs)
print("qdctl characterize --station, %d paired runs, medians" % runs)
print("%d slots at once %.2f s, one board alone %.2f s" %
      (BOARDS, statistics.median(p[0] for p in pairs), statistics.median(p[1] for p in pairs)))
ok = ratio <= 1.25
print("%-66s %8.4f (goal <= 1.25) %s" % ("1. 8 slots / one board alone, wall time", ratio,
                                          "ok" if ok else "MISSED"))
sys.exit(0 if ok else 1)
