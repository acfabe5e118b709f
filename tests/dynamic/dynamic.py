#!/usr/bin/python3
"""qdctl dynamic against qdctl sim-scope on the simulated board, whose
converter moves as QD_BOARD_MODEL says, so that each figure is held to the
model's own truth: the settling time and slew rate of a step through each of
the four scope dialects, the glitch impulse of the major carry, a band finer
than the scope resolves refused without a number, limits judged, and the
run's report drawn again from the store with its waveform.

Usage: dynamic.py QDCTL
"""
import json
import math
import os
import re
import select
import subprocess
import sys
import tempfile

QDCTL = sys.argv[1]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


work = tempfile.mkdtemp(prefix="qd-dynamic-")
VREF = 4.93
SLEW, TAU = 2.0, 0.5  # V/µs, µs
base = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim", QD_BOARD_COUNT="1",
            QD_SCOPE_TIME_SCALE="0", QD_RESULTS=os.path.join(work, "results.sqlite"))
for name in ("QD_BOARD_FAULT", "QD_BOARD_TRACE", "QD_BOARD_VREF", "QD_BOARD_MODEL"):
    base.pop(name, None)


def board(name, model):
    return dict(base, QD_BOARD_STATE=os.path.join(work, name + ".state"), QD_BOARD_MODEL=model)


def start_scope(env, family):
    scope = subprocess.Popen([QDCTL, "sim-scope", "-q", "--family", family, "--listen",
                              "127.0.0.1:0"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([scope.stdout], [], [], 60)
    found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$",
                               scope.stdout.readline().strip())
    if not found:
        scope.kill()
        sys.exit("qdctl sim-scope --family %s did not start" % family)
    return scope, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def dynamic(env, resource, *args):
    done = subprocess.run([QDCTL, "--json", "dynamic", *args, "--device", "QD1600", "--scope",
                           resource], env=env, capture_output=True, text=True, timeout=300)
    lines = done.stdout.strip().splitlines()
    return done.returncode, json.loads(lines[-1]) if lines else {}, done.stderr


def settling_truth(code_from, code_to, band):
    """Seconds from the update until the model's output last enters ±band."""
    distance = abs(code_to - code_from) / 65536 * VREF
    knee = SLEW * TAU
    return ((distance - knee) / SLEW + TAU * math.log(knee / band)) * 1e-6


def settles_through_every_dialect():
    env = board("settle", "slew=%g,tau=%g,noise=20,seed=3" % (SLEW, TAU))
    band = 2 * VREF / 65536
    truth = settling_truth(0x0200, 0xFE00, band)
    for family in ("InfiniiVision", "DS1000Z", "Tektronix", "Siglent"):
        scope, resource = start_scope(env, family)
        try:
            status, out, err = dynamic(env, resource, "settle", "--band", "2lsb")
        finally:
            scope.kill()
            scope.wait()
        if status != 0 or not out.get("resolved"):
            check(False, "%s: settle ended %d: %s %s" % (family, status, out, err.strip()))
            continue
        value = out["settling_time_us"]["value"] * 1e-6
        allowed = max(0.02 * truth, 2 * out["scope"]["sample_interval_s"])
        check(abs(value - truth) <= allowed,
              "%s: settling time %.4g µs, the model's %.4g µs (within %.3g)"
              % (family, value * 1e6, truth * 1e6, allowed * 1e6))
        slew = out["slew_rate_v_per_us"]["value"]
        check(abs(slew - SLEW) <= 0.02 * SLEW,
              "%s: slew rate %.4g V/µs, the model's %g" % (family, slew, SLEW))
        check(out["settling_time_us"]["uncertainty"] > 0, "%s: no uncertainty" % family)


def glitch_of_the_major_carry():
    for area in (1.0, 8.0):
        env = board("glitch%g" % area, "slew=5,tau=0.05,glitch=%g,noise=20,seed=5" % area)
        scope, resource = start_scope(env, "InfiniiVision")
        try:
            status, out, err = dynamic(env, resource, "glitch", "--averages", "64")
        finally:
            scope.kill()
            scope.wait()
        if status != 0 or not out.get("resolved"):
            check(False, "glitch %g nV·s: ended %d: %s %s" % (area, status, out, err.strip()))
            continue
        net = out["glitch_impulse_nvs"]["value"]
        check(abs(net - area) <= 0.1 * area,
              "glitch %g nV·s measured as %.3g nV·s" % (area, net))


def refusals_limits_and_the_report():
    env = board("judged", "slew=%g,tau=%g,noise=20,seed=3" % (SLEW, TAU))
    scope, resource = start_scope(env, "Tektronix")
    try:
        # A band far below what one 8-bit acquisition resolves: said, no number.
        status, out, err = dynamic(env, resource, "settle", "--band", "0.01lsb", "--averages", "1")
        check(status == 1 and out.get("resolved") is False and "settling_time_us" not in out
              and out.get("why"), "an unresolvable band: %d %s %s" % (status, out, err))
        status, out, err = dynamic(env, resource, "settle", "--band", "2lsb", "--limits",
                                   "settling=0.5")
        check(status == 1 and out.get("verdict") == "FAIL",
              "settling=0.5 µs: %d %s" % (status, out.get("verdict")))
        run = out.get("run", "")
        report = os.path.join(work, "settle.html")
        done = subprocess.run([QDCTL, "runs", "report", run, "--report", report], env=env,
                              capture_output=True, text=True, timeout=120)
        page = open(report).read() if os.path.exists(report) else ""
        check(done.returncode == 0 and "Settling, to " in page and "<svg" in page,
              "runs report of a dynamic run: %d %s" % (done.returncode, done.stderr))
        status, out, err = dynamic(env, resource, "settle", "--band", "0lsb")
        check(status == 2 and "--band" in err, "--band 0lsb refused: %d %s" % (status, err))
    finally:
        scope.kill()
        scope.wait()


settles_through_every_dialect()
glitch_of_the_major_carry()
refusals_limits_and_the_report()
if failures:
    sys.exit("%d failures" % len(failures))
print("dynamic: every check passed")
