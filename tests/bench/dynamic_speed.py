#!/usr/bin/python3
"""What a settling measurement with 64 averages costs beside the scope's own
acquisition and transfer time: qdctl dynamic settle against qdctl sim-scope
taking its real time (QD_SCOPE_TIME_SCALE=1). The run's --json gives its
time from opening the scope to its end and, of it, the time spent capturing
(the scope's acquisitions, transfers and answers); the ratio is the one
against the other (goal 1.2). The whole process, its start and the board's
opening included, is timed too, against the same process with a scope
that takes no time. Not a test: a yardstick.

Usage: dynamic_speed.py BIN_DIR [ROUNDS]
"""
import json
import os
import re
import select
import statistics
import subprocess
import sys
import tempfile
import time

QDCTL = os.path.join(sys.argv[1], "qdctl")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def scope(env):
    process = subprocess.Popen([QDCTL, "sim-scope", "-q", "--listen", "127.0.0.1:0"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([process.stdout], [], [], 60)
    found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$", process.stdout.readline().strip())
    if not found:
        sys.exit("qdctl sim-scope did not start")
    return process, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def timed(env, resource):
    """The process's time, and the run's own and its capturing's as it says."""
    began = time.monotonic()
    done = subprocess.run([QDCTL, "--json", "dynamic", "settle", "--device", "QD1600", "--scope",
                           resource, "--band", "2lsb", "--averages", "64"], env=env, check=True,
                          capture_output=True, text=True)
    out = json.loads(done.stdout)
    return time.monotonic() - began, out["seconds"], out["scope_seconds"]


def main():
    with tempfile.TemporaryDirectory() as work:
        base = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim",
                    QD_BOARD_STATE=os.path.join(work, "board.state"), QD_RESULTS="none",
                    QD_BOARD_MODEL="noise=15,seed=1,slew=1.8,tau=0.6")
        for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_COUNT", "QD_BOARD_TRACE"):
            base.pop(name, None)
        times = {}
        for scale in ("1", "0"):
            env = dict(base, QD_SCOPE_TIME_SCALE=scale)
            process, resource = scope(env)
            try:
                timed(env, resource)  # the caches warm
                times[scale] = [timed(env, resource) for _ in range(ROUNDS)]
            finally:
                process.kill()
                process.wait()
    real = times["1"]
    run = statistics.median(t[1] for t in real)
    capturing = statistics.median(t[2] for t in real)
    process = statistics.median(t[0] for t in real)
    instant = statistics.median(t[0] for t in times["0"])
    print("settle, 64 averages, median of %d: the run %.3f s, %.3f s of it capturing: %.2f x the "
          "scope's time (goal 1.2); the whole process %.3f s, %.3f s with a scope that takes no "
          "time" % (ROUNDS, run, capturing, run / capturing, process, instant))
    return 0 if run / capturing <= 1.2 else 1


sys.exit(main())
