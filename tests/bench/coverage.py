#!/usr/bin/python3
"""Whether a characterization's uncertainties cover the truth.

Usage: coverage.py BIN_DIR [RUNS [FIGURES]]   (RUNS: 200 by default;
FIGURES: names of rows of FIGURES, comma-separated, all by default)

Each run is a unit of its own: the simulated converter's parameters drawn
as a lot's are (docs/simulated-board.md), measured as a bench would measure
it (qdctl sim-meter at 1 NPLC, 4 samples a code, the fast plan). Its truth
is the same converter without output noise, measured at the meter's
slowest integration with 50 samples a code, where what noise is left is a
small fraction of every uncertainty. For each figure it prints how often
value +- uncertainty holds the truth (a 95 % interval should, 93 to 97.5 %
of the time over 200 runs) and the median of (value - truth) / uncertainty
(an unbiased figure: within +-0.2), one row per figure, and exits 1 when
a figure misses either goal. Not a test: a yardstick, with no time in it.

The dynamic figures are measured the same way: each unit gets its own slew
rate, time constant and glitch, and qdctl dynamic measures them through
qdctl sim-scope (an 8-bit InfiniiVision with its own gain and timebase
errors); their truth is the model's, worked out here as the simulated
converter makes it (docs/simulated-board.md).

A figure of another measurement is a row of FIGURES and, when its command
is new, an entry of SOURCES that runs it for a unit and for its truth.
"""

import json
import math
import os
import random
import re
import select
import statistics
import subprocess
import sys
import tempfile
import time

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
        if not out.stdout.strip():
            sys.exit("qdctl characterize failed: " + out.stderr.strip())
        return json.loads(out.stdout)
    finally:
        meter.kill()
        meter.wait()


def value(figure):
    """(value, uncertainty) of a figure as --json gives it."""
    return figure["value"], figure["uncertainty"]


def extreme(span, side):
    """(value, uncertainty) of a per-code figure's min, max or largest |x|."""
    if side != "largest":
        return value(span[side])
    low, high = span["min"], span["max"]
    largest = high if abs(high["value"]) >= abs(low["value"]) else low
    return abs(largest["value"]), largest["uncertainty"]


def characterize(work, unit, truth):
    """The figures of qdctl characterize: as a bench measures, or the truth."""
    if truth:
        return measure(work, unit + ",noise=0", 100, 50)["figures"]
    return measure(work, unit + ",noise=15", 1, 4)["figures"]


VREF = 4.93
BAND_LSB = 2


def parameters(unit):
    """The unit's model as numbers, by name."""
    return {k: float(v) for k, v in (item.split("=") for item in unit.split(","))}


def dynamic_model(unit):
    """The unit's own slew, tau and glitch, drawn apart from its static
    parameters so that the static rows see the lot they always saw."""
    draw = random.Random(7000 + int(parameters(unit)["seed"]))
    return {"slew": draw.uniform(1.5, 3.0), "tau": draw.uniform(0.2, 0.6),
            "glitch": draw.uniform(1.0, 10.0)}


def quiet_volts(p, code, bits=16):
    """The converter's output for a code, before noise, as the model makes it."""
    x = code / 2 ** bits
    ppm = 4 * p.get("bow", 0) * x * (1 - x)
    for i in range(4):
        if (code >> (bits - 1 - i)) & 1:
            ppm += p.get("msb%d" % (i + 1), 0)
    return VREF * (1 + p.get("gain", 0) / 100) * (x + 1e-6 * ppm) + p.get("offset", 0) / 1000


def dynamic_truth(unit, kind):
    """What the model says the figures are: the settling time of the
    default step into ±2 LSB, the slew rate, the glitch's areas."""
    p, d = parameters(unit), dynamic_model(unit)
    if kind == "glitch":
        return {"glitch_impulse_nvs": {"value": d["glitch"], "uncertainty": 0},
                "glitch_impulse_abs_nvs": {"value": d["glitch"], "uncertainty": 0}}
    step = abs(quiet_volts(p, 0xFE00) - quiet_volts(p, 0x0200))
    knee, band = d["slew"] * d["tau"], BAND_LSB * VREF / 65536
    settle = (step - knee) / d["slew"] + d["tau"] * math.log(knee / band)
    return {"settling_time_us": {"value": settle, "uncertainty": 0},
            "slew_rate_v_per_us": {"value": d["slew"], "uncertainty": 0}}


def dynamic(work, unit, truth, kind):
    """qdctl dynamic --json of the unit against qdctl sim-scope, or the model's truth."""
    if truth:
        return dynamic_truth(unit, kind)
    d = dynamic_model(unit)
    model = unit + ",noise=15,slew=%.4f,tau=%.4f,glitch=%.4f" % (d["slew"], d["tau"], d["glitch"])
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim", QD_BOARD_MODEL=model,
               QD_BOARD_STATE=os.path.join(work, "scope.state"), QD_RESULTS="none",
               QD_SCOPE_TIME_SCALE="0")
    for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_COUNT", "QD_BOARD_TRACE"):
        env.pop(name, None)
    if os.path.exists(env["QD_BOARD_STATE"]):
        os.remove(env["QD_BOARD_STATE"])
    scope = subprocess.Popen([QDCTL, "sim-scope", "-q", "--listen", "127.0.0.1:0"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        ready, _, _ = select.select([scope.stdout], [], [], 60)
        found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$",
                                   scope.stdout.readline().strip())
        if not found:
            sys.exit("qdctl sim-scope did not start")
        args = [QDCTL, "--json", "dynamic", kind, "--device", "QD1600", "--scope",
                "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)]
        if kind == "settle":
            args += ["--band", "%dlsb" % BAND_LSB]
        out = subprocess.run(args, env=env, capture_output=True, text=True, check=False)
        answer = json.loads(out.stdout) if out.stdout.strip() else {}
        if not answer.get("resolved"):
            sys.exit("qdctl dynamic %s failed: %s %s" % (kind, out.stdout, out.stderr.strip()))
        return answer
    finally:
        scope.kill()
        scope.wait()


# What each figure is measured by: a function of (work folder, the unit's
# model, truth) that gives what its rows read (characterize: its --json's
# figures), called once a run for the unit and once for its truth.
SOURCES = {"characterize": characterize,
           "settle": lambda work, unit, truth: dynamic(work, unit, truth, "settle"),
           "glitch": lambda work, unit, truth: dynamic(work, unit, truth, "glitch")}


def static(key):
    return lambda f: value(f[key])


def span(key, side):
    return lambda f: extreme(f[key], side)


# One row per figure: its name, its source, and its (value, uncertainty)
# from the source's --json.
FIGURES = [
    ("zero-code error", "characterize", static("zero_code_error_mv")),
    ("offset error", "characterize", static("offset_error_mv")),
    ("gain error", "characterize", static("gain_error_percent")),
    ("full-scale error", "characterize", static("full_scale_error_percent")),
    ("INL best fit, min", "characterize", span("inl_best_fit_lsb", "min")),
    ("INL best fit, max", "characterize", span("inl_best_fit_lsb", "max")),
    ("INL best fit, largest |INL|", "characterize", span("inl_best_fit_lsb", "largest")),
    ("INL endpoint, min", "characterize", span("inl_endpoint_lsb", "min")),
    ("INL endpoint, max", "characterize", span("inl_endpoint_lsb", "max")),
    ("INL endpoint, largest |INL|", "characterize", span("inl_endpoint_lsb", "largest")),
    ("DNL, min", "characterize", span("dnl_lsb", "min")),
    ("DNL, max", "characterize", span("dnl_lsb", "max")),
    ("DNL, largest |DNL|", "characterize", span("dnl_lsb", "largest")),
    ("smallest step", "characterize", static("smallest_step_lsb")),
    ("settling time", "settle", static("settling_time_us")),
    ("slew rate", "settle", static("slew_rate_v_per_us")),
    ("glitch impulse (net)", "glitch", static("glitch_impulse_nvs")),
    ("glitch impulse (absolute)", "glitch", static("glitch_impulse_abs_nvs")),
]

COVERAGE_GOAL = (93.0, 97.5)  # % of runs whose value +- U holds the truth
BIAS_GOAL = 0.2  # |median of (value - truth) / U|


def unit_model(draw, run):
    """A unit of the lot, as docs/simulated-board.md draws it, with its own noise."""
    return ("offset=%.4f,gain=%.5f,bow=%.3f,msb1=%.3f,msb2=%.3f,msb3=%.3f,floor=0.5,seed=%d" %
            (draw.gauss(-1.2, 0.5), draw.gauss(-0.04, 0.02), draw.gauss(30, 10),
             draw.gauss(12, 4), draw.gauss(-7, 4), draw.gauss(4, 4), run + 1))


def main():
    draw = random.Random(20261210)
    held, ratios = {}, {}
    names = sys.argv[3].split(",") if len(sys.argv) > 3 else None
    rows = [row for row in FIGURES if names is None or row[0] in names]
    sources = sorted({source for _, source, _ in rows})
    began = time.monotonic()
    with tempfile.TemporaryDirectory() as work:
        for run in range(RUNS):
            unit = unit_model(draw, run)
            seen = {s: SOURCES[s](work, unit, False) for s in sources}
            truth = {s: SOURCES[s](work, unit, True) for s in sources}
            for name, source, pick in rows:
                (v, u), (true, _) = pick(seen[source]), pick(truth[source])
                held.setdefault(name, []).append(abs(v - true) <= u)
                ratios.setdefault(name, []).append((v - true) / u if u > 0 else 0)
            if (run + 1) % 50 == 0:
                print("%d runs" % (run + 1), file=sys.stderr)
    print("coverage of the truth by value +- U over %d runs (goal %g-%g %%), median of "
          "(value - truth)/U (goal within +-%g), %.0f s" %
          (RUNS, COVERAGE_GOAL[0], COVERAGE_GOAL[1], BIAS_GOAL, time.monotonic() - began))
    print("| figure | truth within value ± U | median of (value − truth)/U |")
    print("|---|---|---|")
    missed = []
    for name, _, _ in rows:
        coverage = 100 * sum(held[name]) / len(held[name])
        bias = statistics.median(ratios[name])
        print("| %s | %.1f %% | %s |" % (name.replace("|", "\\|"), coverage,
                                         ("%+.2f" % bias).replace("-", "\u2212")))
        if not COVERAGE_GOAL[0] <= coverage <= COVERAGE_GOAL[1] or abs(bias) > BIAS_GOAL:
            missed.append(name)
    if missed:
        print("outside the goals: " + ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
