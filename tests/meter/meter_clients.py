#!/usr/bin/python3
"""qdctl sim-meter read by drivers nobody here wrote: pymeasure's stock DMM
drivers, each against the meters it is for, and PyVISA sending each family's
commands as its maker's manual gives them, on loopback, with its probes on a
simulated board whose converter has a real part's errors.

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


def start_meter(family):
    """sim-meter as `family` on a free port: the process and its resource."""
    meter = subprocess.Popen([qdctl, "sim-meter", "--listen", "127.0.0.1:0", "--family", family],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([meter.stdout], [], [], 60)
    line = meter.stdout.readline() if ready else ""
    found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
    if not found:
        meter.kill()
        sys.exit("qdctl sim-meter --family %s did not start: %r %s"
                 % (family, line, meter.stderr.read()))
    return meter, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def adapter(resource):
    return VISAAdapter(resource, visa_library="@py", read_termination="\n",
                       write_termination="\n", timeout=20000)


# pymeasure's drivers, each against the meters it is for. (This pymeasure
# has none for Keithley's DMM6500, Rigol's or Siglent's meters, and its
# Keithley 2000 driver cannot start on a VISA adapter: it calls a method the
# adapter does not have.) The 34410A's driver speaks what its successors, the
# Truevolt 3446xA, take.
DRIVERS = {
    "generic": ("QD1600,Simulated DMM,0,", (Agilent34410A, HP34401A, Agilent34450A)),
    "34461A": ("Keysight Technologies,34461A,", (Agilent34410A, Agilent34450A)),
    "34465A": ("Keysight Technologies,34465A,", (Agilent34410A, Agilent34450A)),
    "34470A": ("Keysight Technologies,34470A,", (Agilent34410A, Agilent34450A)),
}

# Each family with the commands characterize sends it, its reading query and
# how many readings that answers, and a command of another family's that it
# does not have.
FAMILIES = {
    "generic": (["CONF:VOLT:DC 10", "VOLT:DC:NPLC 10", "VOLT:DC:ZERO:AUTO ON", "TRIG:SOUR IMM",
                 "SAMP:COUN 4"], "READ?", 4, "CAL:DATE?"),
    "34461A": (["CONF:VOLT:DC 10", "VOLT:DC:NPLC 10", "VOLT:DC:ZERO:AUTO ON", "TRIG:SOUR IMM",
                "SAMP:COUN 4"], "READ?", 4, ":SENS:VOLT:AZER ON"),
    "34465A": (["CONF:VOLT:DC 10", "VOLT:DC:NPLC 10", "VOLT:DC:ZERO:AUTO ON", "TRIG:SOUR IMM",
                "SAMP:COUN 4"], "READ?", 4, ":FUNC:VOLT:DC"),
    "34470A": (["CONF:VOLT:DC 10", "VOLT:DC:NPLC 10", "VOLT:DC:ZERO:AUTO ON", "TRIG:SOUR IMM",
                "SAMP:COUN 4"], "READ?", 4, "VOLT:DC:AZ ON"),
    "DMM6500": ([':SENS:FUNC "VOLT:DC"', ":SENS:VOLT:RANG 10", ":SENS:VOLT:NPLC 10",
                 ":SENS:VOLT:AZER ON", ":SENS:COUN 4"], ":READ?", 1, "SAMP:COUN 4"),
    "DM3068": ([":FUNC:VOLT:DC", ":MEAS:VOLT:DC 2", ":VOLT:DC:NPLC 10"], ":MEAS:VOLT:DC?", 1,
               "CONF:VOLT:DC 10"),
    "SDM3065X": (["CONF:VOLT:DC 20", "VOLT:DC:NPLC 10", "VOLT:DC:AZ ON", "TRIG:SOUR IMM",
                  "SAMP:COUN 4"], "READ?", 4, "VOLT:DC:ZERO:AUTO ON"),
}

rm = pyvisa.ResourceManager("@py")
for family, (commands, read, count, foreign) in FAMILIES.items():
    meter, resource = start_meter(family)
    try:
        idn, drivers = DRIVERS.get(family, (None, ()))
        for driver in drivers:
            what = "%s on %s" % (driver.__name__, family)
            dmm = driver(adapter(resource))
            check(what + " id", dmm.id, lambda s, idn=idn: s.startswith(idn))
            if driver is Agilent34450A:
                dmm.mode = "voltage"
                dmm.voltage_range = 10
                check(what + " voltage", dmm.voltage, near(EXPECTED))
            else:
                check(what + " voltage_dc", dmm.voltage_dc, near(EXPECTED))
            check(what + " errors", dmm.ask("SYST:ERR?").strip(), '0,"No error"')
            dmm.adapter.connection.close()

        # PyVISA with the commands characterize sends, each checked as it does.
        inst = rm.open_resource(resource, read_termination="\n", write_termination="\n",
                                timeout=20000)
        for command in ["*RST", "*CLS"] + commands:
            inst.write(command)
            check("%s: %s then SYST:ERR?" % (family, command), inst.query("SYST:ERR?"),
                  '0,"No error"')
        readings = [float(v) for v in inst.query(read).split(",")]
        check("%s: %s of %d" % (family, read, count), len(readings), count)
        check("%s: their mean" % family, statistics.mean(readings), near(EXPECTED))
        if count > 1:
            check("%s: their spread, output and meter noise" % family,
                  statistics.stdev(readings), lambda s: 2e-6 < s < 60e-6)
        check("%s: *OPC?" % family, inst.query("*OPC?"), "1")
        if family.startswith("344"):
            check("%s: CAL:DATE?" % family, inst.query("CAL:DATE?"), "2026,3,14")
        inst.write(foreign)
        check("%s: %s, another family's" % (family, foreign), inst.query("SYST:ERR?"),
              '-113,"Undefined header"')
        if family == "generic":
            check("NPLC?", float(inst.query("VOLT:DC:NPLC?")), 10.0)
            check("SAMP:COUN?", inst.query("SAMP:COUN?"), "4")
            inst.write("INIT")
            check("FETC? after INIT", len(inst.query("FETC?").split(",")), 4)
        inst.close()
    finally:
        meter.send_signal(signal.SIGTERM)
        meter.wait(60)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("sim-meter: pymeasure and PyVISA clients passed against each family")
