#!/usr/bin/python3
"""qdctl's speed goals, each as a ratio against its baseline in the same run.

Every command runs as a whole process, in pairs (A, B, A, B, ...) so that a
drifting machine moves both alike; the figures are medians. Each is started
by the small `measure` program beside qdctl, which reads the wall time
around the process and the kernel's peak memory of that one child (wait4):
a child's peak counts the memory of whoever forked it, so this script must
not be the one.

Usage: speed.py BIN_DIR [RUNS]
"""
import os
import re
import statistics
import subprocess
import sys
import tempfile

bindir = os.path.abspath(sys.argv[1])
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
qdctl = os.path.join(bindir, "qdctl")
work = tempfile.mkdtemp(prefix="qd-speed-")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS="none")
for name in ("QD_BOARD_TRACE", "QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_MODEL"):
    env.pop(name, None)


def run(argv):
    """(wall seconds, peak KiB, standard error) of one whole process."""
    done = subprocess.run([os.path.join(bindir, "measure")] + argv, env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = done.stderr.decode(errors="replace")
    if done.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (done.returncode, " ".join(argv), err))
    wall, peak = err.strip().splitlines()[-1].split()[1:3]
    return float(wall), int(peak), err


def paired(a, b):
    """Medians of A's and B's wall and peak, and of the pairwise ratios."""
    run(a), run(b)  # warm the page cache for both
    rows = [(run(a), run(b)) for _ in range(runs)]
    med = statistics.median
    return {
        "a_wall": med(x[0][0] for x in rows), "b_wall": med(x[1][0] for x in rows),
        "a_peak": med(x[0][1] for x in rows), "b_peak": med(x[1][1] for x in rows),
        "wall": med(x[0][0] / x[1][0] for x in rows),
        "peak": med(x[0][1] / x[1][1] for x in rows),
        "a_err": [x[0][2] for x in rows], "b_err": [x[1][2] for x in rows],
    }


def drawn(errs):
    """Median seconds the plot module reports for drawing alone (--timing)."""
    times = [float(re.search(r"plot drawn in ([0-9.]+) s", e).group(1)) for e in errs]
    return statistics.median(times)


results = []


def goal(name, value, limit, unit, below=True):
    ok = value <= limit if below else value >= limit
    results.append(ok)
    print("%-62s %10.3f %s (goal %s %g) %s" % (name, value, unit, "<=" if below else ">=", limit,
                                               "ok" if ok else "MISSED"))


subprocess.run([qdctl, "program", "--device", "QD1600", "0"], env=env, check=True,
               stdout=subprocess.DEVNULL)

print("qdctl speed, %d paired runs each, medians" % runs)
csv = os.path.join(work, "sweep.csv")
full = [qdctl, "sweep", "-q", "--device", "QD1600", "--from", "0", "--to", "FFFF", "--csv", csv]
small = [qdctl, "sweep", "-q", "--device", "QD1600", "--from", "0", "--to", "FFF", "--csv", csv]
sweep = paired(full, small)
# The small sweep carries the same start-up: the difference is 61,440 codes.
rate = 61440 / (sweep["a_wall"] - sweep["b_wall"])
print("full 16-bit sweep: %.3f s wall; 4,096 codes: %.3f s" % (sweep["a_wall"], sweep["b_wall"]))
goal("1. sweep rate, codes/s (full sweep against 4,096 codes)", rate, 200000, "codes/s",
     below=False)

read = paired([qdctl, "read"], [os.path.join(bindir, "bare_qcore")])
print("qdctl read: %.4f s, %d KiB; bare QCoreApplication: %.4f s, %d KiB"
      % (read["a_wall"], read["a_peak"], read["b_wall"], read["b_peak"]))
goal("2. qdctl read / bare QCoreApplication, wall", read["wall"], 1.5, "x")
goal("2. qdctl read / bare QCoreApplication, peak memory", read["peak"], 1.3, "x")

# The same read recorded into SQLite, as a bench does by default.
store = os.path.join(work, "results.sqlite")
kept = paired([qdctl, "--results", store, "read"], [os.path.join(bindir, "bare_qcore")])
print("qdctl read recorded into SQLite: %.4f s, %d KiB" % (kept["a_wall"], kept["a_peak"]))
goal("2. qdctl read into SQLite / bare QCoreApplication, wall", kept["wall"], 2.0, "x")
# Shown, not a goal: the store's engine is about a mebibyte of its own.
print("%-62s %10.3f x" % ("2. qdctl read into SQLite / bare, peak memory", kept["peak"]))

plot = paired(full + ["--plot", os.path.join(work, "full.png"), "--timing"],
              small + ["--plot", os.path.join(work, "small.png"), "--timing"])
print("sweep with --plot: 65,536 codes %d KiB, 4,096 codes %d KiB"
      % (plot["a_peak"], plot["b_peak"]))
goal("3. plot of 65,536 / of 4,096 codes, peak memory", plot["peak"], 1.1, "x")
goal("3. plot of 65,536 / of 4,096 codes, drawing alone",
     drawn(plot["a_err"]) / drawn(plot["b_err"]), 1.2, "x")
sys.exit(0 if all(results) else 1)
