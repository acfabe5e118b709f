#!/usr/bin/python3
"""qdctl sim-meter read by drivers nobody here wrote: pymeasure's stock DMM
drivers, and PyVISA sending the commands characterize sends, on loopback,
with its probes on a simulated board whose converter has a real part's
errors.

Usage: meter_clients.py QDCTL
"""
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile

import pyvisa
from pymeasure.adapters import VISAAdapter
from pymeasure.instruments.agilent import Agilent34410A, Agilent34450A
from pymeasure.instruments.hp import HP34401A

qdctl = sys.argv[1]
work = tempfile.mkdtemp(prefix="qd-meter-")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS=os.path.join(work, "results.sqlite"),
           QD_BOARD_MODEL="typical", QD_METER_TIME_SCALE="0")
for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_TRACE"):
    env.pop(name, None)
failures = []

# What the typical converter drives for code 8000 of a QD1600, from its
# formula: gain -0.04 %, the top bit 12 ppm heavy, bow 30 ppm, offset -1.2 mV.
EXPECTED = 4.93 * (1 - 0.0004) * (0.5 + 1e-6 * (12 + 30)) - 0.0012


def check(what, got, want):
    ok = want(got) if callable(want) else got == want
    if not ok:
        failures.append("%s: got %r, want %r" % (what, got, want))


def near(volts):
    return lambda v: abs(float(v) - volts) < 200e-6


subprocess.run([qdctl, "program", "--device", "QD1600", "8000"], env=env, check=True,
               stdout=subprocess.DEVNULL)
meter = subprocess.Popen([qdctl, "sim-meter", "--listen", "127.0.0.1:0"], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
ready, _, _ = select.select([meter.stdout], [], [], 60)
line = meter.stdout.readline() if ready else ""
found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
if not found:
    meter.kill()
    sys.exit("qdctl sim-meter did not start: %r %s" % (line, meter.stderr.read()))
resource = "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def adapter():
    return VISAAdapter(resource, visa_library="@py", read_termination="\n",
                       write_termination="\n", timeout=20000)


try:
    # pymeasure's drivers, each as it comes. (Its Keithley 2000 driver
    # cannot start on a VISA adapter in this pymeasure: it calls a method
    # the adapter does not have.)
    for driver in (Agilent34410A, HP34401A):
        dmm = driver(adapter())
        check(driver.__name__ + " id", dmm.id, lambda s: s.startswith("QD1600,Simulated DMM,0,"))
        check(driver.__name__ + " voltage_dc", dmm.voltage_dc, near(EXPECTED))
        check(driver.__name__ + " errors", dmm.ask("SYST:ERR?").strip(), '0,"No error"')
        dmm.adapter.connection.close()

    agilent = Agilent34450A(adapter())
    agilent.mode = "voltage"
    agilent.voltage_range = 10
    check("Agilent34450A voltage", agilent.voltage, near(EXPECTED))
    check("Agilent34450A errors", agilent.ask(":SYST:ERR?").strip(), '0,"No error"')
    agilent.adapter.connection.close()

    # PyVISA with the commands characterize sends, each checked as it does.
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(resource, read_termination="\n", write_termination="\n",
                            timeout=20000)
    for command in ("*RST", "*CLS", "CONF:VOLT:DC 10", "VOLT:DC:NPLC 10", "VOLT:DC:ZERO:AUTO ON",
                    "TRIG:SOUR IMM", "SAMP:COUN 4"):
        inst.write(command)
        check(command + " then SYST:ERR?", inst.query("SYST:ERR?"), '0,"No error"')
    check("NPLC?", float(inst.query("VOLT:DC:NPLC?")), 10.0)
    check("SAMP:COUN?", inst.query("SAMP:COUN?"), "4")
    readings = [float(v) for v in inst.query("READ?").split(",")]
    check("READ? of 4 samples", len(readings), 4)
    check("their mean", statistics.mean(readings), near(EXPECTED))
    check("their spread, output and meter noise", statistics.stdev(readings),
          lambda s: 2e-6 < s < 60e-6)
    inst.write("INIT")
    check("FETC? after INIT", len(inst.query("FETC?").split(",")), 4)
    inst.write("VOLT:DC:BOGUS 1")
    check("an unknown command", inst.query("SYST:ERR?"), '-113,"Undefined header"')
    inst.close()
finally:
    meter.send_signal(signal.SIGTERM)
    meter.wait(60)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("sim-meter: pymeasure and PyVISA clients passed")
