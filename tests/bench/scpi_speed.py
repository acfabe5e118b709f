#!/usr/bin/python3
"""The README's PyVISA loop against `qdctl serve`, in one run: a write and
then a query per point (two messages), against the same work as one message
per point. Prints both rates and their ratio, the goal being 0.5 or more.

The two patterns take turns in rounds, so that a drifting machine moves both
alike; the figures are medians over the rounds.

Usage: scpi_speed.py QDCTL [POINTS [ROUNDS]]
"""
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import pyvisa

qdctl = os.path.abspath(sys.argv[1])
points = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
work = tempfile.mkdtemp(prefix="qd-scpi-speed-")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS="none")
for name in ("QD_BOARD_TRACE", "QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_MODEL"):
    env.pop(name, None)

server = subprocess.Popen([qdctl, "serve", "-q", "--device", "QD1600", "--listen", "127.0.0.1:0"],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
ready, _, _ = select.select([server.stdout], [], [], 60)
found = re.match(r"listening on 127\.0\.0\.1:(\d+)$",
                 server.stdout.readline().strip() if ready else "")
if not found:
    server.kill()
    sys.exit("qdctl serve did not start")

try:
    rm = pyvisa.ResourceManager("@py")
    dac = rm.open_resource("TCPIP0::127.0.0.1::%s::SOCKET" % found.group(1),
                           read_termination="\n", write_termination="\n", timeout=20000)
    step = 65536 // points

    def two_messages():
        for code in range(0, 65536, step):
            dac.write(f"SOUR:DAC:CODE {code}")
            dac.query("MEAS:RAW?")

    def one_message():
        for code in range(0, 65536, step):
            dac.query(f"SOUR:DAC:CODE {code};:MEAS:RAW?")

    def rate(pattern):
        begin = time.perf_counter()
        pattern()
        return len(range(0, 65536, step)) / (time.perf_counter() - begin)

    rate(one_message)  # the first round trips warm both sides up
    rows = [(rate(two_messages), rate(one_message)) for _ in range(rounds)]
    dac.close()
finally:
    server.send_signal(signal.SIGTERM)
    server.wait(60)

two = statistics.median(r[0] for r in rows)
one = statistics.median(r[1] for r in rows)
ratio = statistics.median(r[0] / r[1] for r in rows)
print("PyVISA, %d points a round, medians of %d rounds" % (len(range(0, 65536, step)), rounds))
print("write, then query (two messages): %8.0f points/s" % two)
print("one message per point:            %8.0f points/s" % one)
print("ratio %.2f (goal >= 0.5) %s" % (ratio, "ok" if ratio >= 0.5 else "MISSED"))
sys.exit(0 if ratio >= 0.5 else 1)
