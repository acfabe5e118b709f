#!/usr/bin/python3
"""Whether a characterization's uncertainties cover the truth.

Usage: coverage.py BIN_DIR [RUNS]   (RUNS: 200 by default)

Each run is a unit of its own: the simulated converter's parameters drawn
as a lot's are (docs/simulated-board.md), measured as a bench would measure
it (qdctl sim-meter at 1 NPLC, 4 samples a code, the fast plan). Its truth
is the same converter without output noise, measured at the meter's
slowest integration with 50 samples a code, where what noise is left is a
small fraction of every uncertainty. For each figure it prints how often
value +- uncertainty holds the truth (a 95 % interval should, 93 to 97.5 %
of the time over 200 runs) and the median of (value - truth) / uncertainty
(an unbiased figure: within +-0.2). Not a test: a yardstick.
"""

import json
import os
import random
import re
import select
import statistics
import subprocess
import sys
import tempfile

BIN = sys.argv[1]
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 200
QDCTL = os.path.join(BIN, "qdctl")


def measure(work, model, nplc, samples):
    """qdctl characterize --json of a fresh board with `model`."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim", QD_BOARD_MODEL=model,
               QD_BOARD_STATE=os.path.join(work, "board.state"), QD_RESULTS="none",
               QD_METER_TIME_SCALE="0")
    for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_COUNT", "QD_BOARD_TRACE"):
        env.pop(name, None)
    if os.path.exists(env["QD_BOARD_STATE"]):
        os.remove(env["QD_BOARD_STATE"])
    meter = subprocess.Popen([QDCTL, "sim-meter", "-q", "--listen", "127.0.0.1:0"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        ready, _, _ = select.select([meter.stdout], [], [], 60)
        found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$", meter.stdout.readline().strip())
        if not found:
            sys.exit("qdctl sim-meter did not start")
        out = subprocess.run([QDCTL, "--json", "characterize", "--device", "QD1600", "--meter",
                              "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1), "--nplc", str(nplc),
                              "--samples", str(samples), "--settle", "0"],
                             env=env, capture_output=True, text=True, check=False)
        return json.loads(out.stdout)["figures"]
    finally:
        meter.kill()
        meter.wait()


def figures(measured):
    """(value, uncertainty) of each figure followed."""
    f = {name: (measured[name]["value"], measured[name]["uncertainty"])
         for name in ("offset_error_mv", "gain_error_percent", "full_scale_error_percent")}
    for name in ("inl_best_fit_lsb", "inl_endpoint_lsb", "dnl_lsb"):
        low, high = measured[name]["min"], measured[name]["max"]
        f[name + " min"] = (low["value"], low["uncertainty"])
        f[name + " max"] = (high["value"], high["uncertainty"])
        largest = high if abs(high["value"]) >= abs(low["value"]) else low
        f[name + " largest |x|"] = (abs(largest["value"]), largest["uncertainty"])
    return f


def main():
    draw = random.Random(20261210)
    held, ratios = {}, {}
    with tempfile.TemporaryDirectory() as work:
        for run in range(RUNS):
            unit = ("offset=%.4f,gain=%.5f,bow=%.3f,msb1=%.3f,msb2=%.3f,msb3=%.3f,floor=0.5" %
                    (draw.gauss(-1.2, 0.5), draw.gauss(-0.04, 0.02), draw.gauss(30, 10),
                     draw.gauss(12, 4), draw.gauss(-7, 4), draw.gauss(4, 4)))
            seen = figures(measure(work, unit + ",noise=15,seed=%d" % (run + 1), 1, 4))
            truth = figures(measure(work, unit + ",noise=0,seed=%d" % (run + 1), 100, 50))
            for name, (value, u) in seen.items():
                true = truth[name][0]
                held.setdefault(name, []).append(abs(value - true) <= u)
                ratios.setdefault(name, []).append((value - true) / u if u > 0 else 0)
            if (run + 1) % 50 == 0:
                print("%d runs" % (run + 1), file=sys.stderr)
    print("coverage of the truth by value +- U over %d runs (goal 93-97.5 %%), "
          "median (value - truth)/U (goal within +-0.2)" % RUNS)
    for name in held:
        print("%-30s %6.1f %%   %+.2f" % (name, 100 * sum(held[name]) / len(held[name]),
                                           statistics.median(ratios[name])))


if __name__ == "__main__":
    main()
