#!/usr/bin/python3
"""The datasheet's screenshots from the real program: a station of 8
simulated boards and meters measures a lot; the lot is measured again, on
boards just powered up (so the same readings), judged by limits that leave
3 units CONDITIONAL (the lot's least and largest offset and its least gain
each lie on a limit); the lot's datasheet is drawn and two of its pages
taken as pictures.

Usage: datasheet-screenshots.py QDCTL OUT_FOLDER (pdftoppm needed)
"""
import json
import os
import re
import select
import subprocess
import sys
import tempfile

QDCTL, OUT = sys.argv[1], sys.argv[2]
BOARDS = ["SIM%04d" % n for n in range(1, 9)]


def station(work, env, name, extra=()):
    """The lot measured by a station on boards of their own state file."""
    env = dict(env, QD_BOARD_STATE=os.path.join(work, name + ".state"))
    meters = []
    try:
        for board in BOARDS:
            meter = subprocess.Popen([QDCTL, "--board", board, "sim-meter", "-q", "--listen",
                                      "127.0.0.1:0"], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
            meters.append(meter)
            ready, _, _ = select.select([meter.stdout], [], [], 60)
            found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$",
                                       meter.stdout.readline().strip())
            if not found:
                sys.exit("sim-meter on %s did not start" % board)
            meter.resource = "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)
        path = os.path.join(work, "lot7.station")
        with open(path, "w") as f:
            for i, (board, meter) in enumerate(zip(BOARDS, meters)):
                f.write("%s %s LOT7-%02d\n" % (board, meter.resource, i + 1))
        r = subprocess.run([QDCTL, "--json", "characterize", "--device", "QD1600", "--station",
                            path, "--out", os.path.join(work, name), "--codes", "80",
                            "--operator", "A. Example", "--temperature", "23.0"] + list(extra),
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        return json.loads(r.stdout)["slots"]
    finally:
        for meter in meters:
            meter.kill()
            meter.wait()


def main():
    os.makedirs(OUT, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim", QD_BOARD_COUNT="8",
                   QD_BOARD_MODEL="lot:seed=7", QD_RESULTS=os.path.join(work, "results.sqlite"),
                   QD_METER_TIME_SCALE="0")
        slots = station(work, env, "first")
        figure = lambda s, name: s["figures"][name]["value"]
        by_offset = sorted(slots, key=lambda s: figure(s, "offset_error_mv"))
        low, high = by_offset[0], by_offset[-1]
        rest = sorted((s for s in slots if s not in (low, high)),
                      key=lambda s: figure(s, "gain_error_percent"))
        limits = "offset=%.4f..%.4f,gain=%.5f..1,inl=4" % (
            figure(low, "offset_error_mv"), figure(high, "offset_error_mv"),
            figure(rest[0], "gain_error_percent"))
        judged = station(work, env, "again", ["--limits", limits])
        print("verdicts:", sorted(s.get("verdict") for s in judged))
        report = os.path.join(work, "lot7.pdf")
        subprocess.run([QDCTL, "datasheet", "--station-run", "--report", report], env=env,
                       check=True)
        for page, name in ((1, "datasheet"), (3, "datasheet-histograms")):
            subprocess.run(["pdftoppm", "-r", "90", "-png", "-singlefile", "-f", str(page), "-l",
                            str(page), report, os.path.join(OUT, name)], check=True)


main()
