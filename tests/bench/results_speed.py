#!/usr/bin/python3
"""The results store's speed goals, each as a ratio or a time measured in
this run, on the simulated board:

1. a full 16-bit sweep recorded in SQLite against the same with
   --results none: 1.3x or less (medians of paired runs), and 200,000 codes
   a second or more, the whole process's start and end included;
2. a characterization at a real meter's pace (QD_METER_TIME_SCALE=1, 1
   NPLC, a 257-code plan) recorded against not recorded: 1.01x or less;
3. runs push of 1,000,000 readings to a local PostgreSQL the bench starts:
   10 s or less.

Usage: results_speed.py BIN_DIR [RUNS]
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "results"))
from store import Postgres  # noqa: E402  (the tests' own private server)

bin_dir = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
qdctl = os.path.join(bin_dir, "qdctl")


def timed(cmd, env):
    started = time.perf_counter()
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - started


def goal(name, value, limit, unit="x"):
    print("%-62s %8.3f%s  (goal %.2f%s) %s" % (name, value, unit, limit, unit,
                                              "ok" if value <= limit else "MISSED"))


with tempfile.TemporaryDirectory() as work:
    os.chmod(work, 0o755)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim",
               QD_BOARD_STATE=os.path.join(work, "board.state"), QD_METER_TIME_SCALE="1")
    env.pop("QD_BOARD_FAULT", None)
    store = os.path.join(work, "results.sqlite")
    sweep = [qdctl, "sweep", "--device", "QD1600", "--from", "0", "--to", "FFFF", "-q", "--csv",
             os.path.join(work, "sweep.csv")]
    timed([qdctl, "--results", "none", "program", "--device", "QD1600", "0"], env)
    bare, kept = [], []
    for _ in range(runs):
        bare.append(timed(sweep[:1] + ["--results", "none"] + sweep[1:], env))
        kept.append(timed(sweep[:1] + ["--results", store] + sweep[1:], env))
    print("full 16-bit sweep: %.3f s not recorded, %.3f s recorded (medians of %d)"
          % (statistics.median(bare), statistics.median(kept), runs))
    goal("1. sweep recorded in SQLite / not recorded",
         statistics.median(kept) / statistics.median(bare), 1.3)
    rate = 65536 / statistics.median(kept)
    print("%-62s %8.0f codes/s  (goal >= 200000) %s" % (
        "1. sweep recorded in SQLite, the whole process", rate, "ok" if rate >= 200000 else "MISSED"))

    meter = subprocess.Popen([qdctl, "sim-meter", "--listen", "127.0.0.1:0"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = meter.stdout.readline().strip().rsplit(":", 1)[-1]
    characterize = [qdctl, "characterize", "-q", "--device", "QD1600", "--codes", "100",
                    "--nplc", "1", "--samples", "1", "--settle", "0", "--no-preflight",
                    "--meter", "TCPIP::127.0.0.1::%s::SOCKET" % port]
    bare, kept = [], []
    for _ in range(max(3, runs // 2)):
        bare.append(timed(characterize[:1] + ["--results", "none"] + characterize[1:], env))
        kept.append(timed(characterize[:1] + ["--results", store] + characterize[1:], env))
    meter.terminate()
    meter.wait()
    print("257 codes at 1 NPLC: %.3f s not recorded, %.3f s recorded"
          % (statistics.median(bare), statistics.median(kept)))
    goal("2. characterize recorded / not recorded",
         statistics.median(kept) / statistics.median(bare), 1.01)

    # A million readings: sixteen full sweeps of 65,536 codes.
    million = os.path.join(work, "million.sqlite")
    for _ in range(16):
        timed(sweep[:1] + ["--results", million] + sweep[1:], env)
    server = os.path.join(work, "pg")
    os.mkdir(server)
    pg = Postgres(server)
    try:
        seconds = timed([qdctl, "--results", million, "runs", "push", "--to", pg.uri], env)
        readings = int(pg.sql("SELECT count(*) FROM readings"))
    finally:
        pg.stop()
    goal("3. runs push of %d readings to PostgreSQL" % readings, seconds, 10, " s")
