#!/usr/bin/python3
"""qdctl datasheet's speed goal: the table and the pages from 100 recorded
characterizations of 257 codes each (4 samples a code) in a SQLite store,
each process timed whole, medians. Goal: 5 s or less.

One run is recorded by qdctl characterize on the simulated board; the other
99 are copies of it under their own ids and DUT serials, made with Python's
sqlite3 in the schema qdctl made.

Usage: datasheet_speed.py BIN_DIR [RUNS]
"""
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

bindir = os.path.abspath(sys.argv[1])
repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
qdctl = os.path.join(bindir, "qdctl")
work = tempfile.mkdtemp(prefix="qd-dspeed-")
store = os.path.join(work, "results.sqlite")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_BOARD_MODEL="typical", QD_RESULTS=store, QT_QPA_PLATFORM="offscreen")
for name in ("QD_BOARD_TRACE", "QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_COUNT"):
    env.pop(name, None)

subprocess.run([qdctl, "characterize", "-q", "--device", "QD1600", "--codes", "100", "--settle",
                "0", "--serial", "U000"], env=env, check=True, stdout=subprocess.DEVNULL)
with sqlite3.connect(store) as db:
    columns = [row[1] for row in db.execute("PRAGMA table_info(runs)")]
    run = db.execute("SELECT * FROM runs").fetchone()
    readings = db.execute("SELECT * FROM readings WHERE run = ?", (run[0],)).fetchall()
    figures = db.execute("SELECT * FROM figures WHERE run = ?", (run[0],)).fetchall()
    serial = columns.index("dut_serial")
    for unit in range(1, 100):
        copy = list(run)
        copy[0] = str(uuid.uuid4())
        copy[serial] = "U%03d" % unit
        db.execute("INSERT INTO runs VALUES (%s)" % ",".join("?" * len(copy)), copy)
        db.executemany("INSERT INTO readings VALUES (%s)" % ",".join("?" * len(readings[0])),
                       [(copy[0],) + tuple(r[1:]) for r in readings])
        db.executemany("INSERT INTO figures VALUES (%s)" % ",".join("?" * len(figures[0])),
                       [(copy[0],) + tuple(f[1:]) for f in figures])
codes = len({r[2] for r in readings})


def timed(args):
    start = time.monotonic()
    subprocess.run([qdctl] + args, env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.monotonic() - start


table = statistics.median(timed(["--json", "datasheet"]) for _ in range(repeats))
pages = statistics.median(timed(["datasheet", "--report", os.path.join(work, "lot.pdf")])
                          for _ in range(repeats))
print("qdctl datasheet, 100 units of %d codes and %d readings each, medians of %d"
      % (codes, len(readings), repeats))
print("%-66s %8.3f s" % ("the table (--json)", table))
ok = pages <= 5
print("%-66s %8.3f s (goal <= 5) %s" % ("1. the table and the pages (--report lot.pdf)", pages,
                                        "ok" if ok else "MISSED"))
sys.exit(0 if ok else 1)
