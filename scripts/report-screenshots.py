#!/usr/bin/python3
"""The README's report pages, made from the simulated board as the README's
examples make them: the typical converter characterized at every code, and
its settling time measured through the simulated scope.

Usage: report-screenshots.py QDCTL OUT_FOLDER (pdftoppm needed)
"""
import os
import re
import select
import subprocess
import sys
import tempfile

QDCTL, OUT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
TYPICAL = "offset=-1.2,gain=-0.04,bow=30,msb1=12,msb2=-7,msb3=4,noise=15,floor=0.5,seed=1"


def server(env, *args):
    """A simulated instrument on a free port, and its address."""
    process = subprocess.Popen([QDCTL, *args, "-q", "--listen", "127.0.0.1:0"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([process.stdout], [], [], 60)
    found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$", process.stdout.readline().strip())
    if not found:
        process.kill()
        sys.exit("qdctl %s did not start" % args[0])
    return process, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def page(pdf, name):
    subprocess.run(["pdftoppm", "-r", "100", "-png", "-singlefile", "-f", "1", "-l", "1", pdf,
                    os.path.join(OUT, name)], check=True)


def main():
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim",
                   QD_BOARD_STATE=os.path.join(work, "board.state"),
                   QD_BOARD_MODEL=TYPICAL + ",slew=1.8,tau=0.6,glitch=2", QD_RESULTS="none",
                   QD_METER_TIME_SCALE="0", QD_SCOPE_TIME_SCALE="0")
        for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_COUNT", "QD_BOARD_TRACE"):
            env.pop(name, None)
        meter, meter_at = server(env, "sim-meter")
        scope, scope_at = server(env, "sim-scope", "--family", "InfiniiVision")
        try:
            # Files named as the README names them: each page shows the
            # command that made it.
            subprocess.run([QDCTL, "characterize", "--device", "QD1600", "--codes", "all",
                            "--samples", "64", "--settle", "0", "--meter", meter_at, "--report",
                            "qd1600.pdf"], env=env, check=True, cwd=work)
            page(os.path.join(work, "qd1600.pdf"), "characterize-report")
            subprocess.run([QDCTL, "dynamic", "settle", "--device", "QD1600", "--scope", scope_at,
                            "--band", "2lsb", "--limits", "settling=10,slew=1.5..3", "--serial",
                            "U17", "--report", "settle.pdf"], env=env, check=True, cwd=work)
            page(os.path.join(work, "settle.pdf"), "dynamic-settling")
        finally:
            for process in (meter, scope):
                process.kill()
                process.wait()


main()
