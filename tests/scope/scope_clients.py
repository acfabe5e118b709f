#!/usr/bin/python3
"""qdctl sim-scope read by PyVISA in each family's dialect, as its maker's
manual gives it: a step of a simulated board whose converter slews and
settles is captured on the board's code update, read back with
query_binary_values, turned into volts and seconds with the family's own
preamble, and compared with the converter's step as its model draws it.

Usage: scope_clients.py QDCTL
"""
import math
import os
import re
import select
import subprocess
import sys
import tempfile
import time

import pyvisa

qdctl = sys.argv[1]
work = tempfile.mkdtemp(prefix="qd-scope-")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS=os.path.join(work, "results.sqlite"),
           QD_BOARD_MODEL="slew=2,tau=1", QD_SCOPE_TIME_SCALE="0")
for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_TRACE", "QD_BOARD_COUNT"):
    env.pop(name, None)
failures = []

VREF = 4.93
FROM, TO = 0x4000, 0xC000  # a QD1600's codes: 1.2325 V to 3.6975 V
SLEW, TAU = 2e6, 1e-6      # V/s and s, as QD_BOARD_MODEL says


def truth(t):
    """The converter's step from FROM to TO, t seconds after the update."""
    v0, v1 = VREF * FROM / 65536, VREF * TO / 65536
    d, knee = v1 - v0, SLEW * TAU
    if t < 0:
        return v0
    slewing = (d - knee) / SLEW
    if t < slewing:
        return v0 + SLEW * t
    return v1 - knee * math.exp(-(t - slewing) / TAU)


def check(what, ok, detail=""):
    if not ok:
        failures.append("%s %s" % (what, detail))


def program(code):
    subprocess.run([qdctl, "program", "--device", "QD1600", "%X" % code], env=env, check=True,
                   stdout=subprocess.DEVNULL)


def start_scope(family):
    scope = subprocess.Popen([qdctl, "sim-scope", "--listen", "127.0.0.1:0", "--family", family],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([scope.stdout], [], [], 60)
    line = scope.stdout.readline() if ready else ""
    found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
    if not found:
        scope.kill()
        sys.exit("qdctl sim-scope --family %s did not start: %r %s"
                 % (family, line, scope.stderr.read()))
    return scope, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


def value(answer):
    """A number out of an answer, with Siglent's header and unit stripped."""
    return float(re.search(r"[-+]?[0-9.]+(?:[eE][-+]?[0-9]+)?", answer.split(" ")[-1]).group(0))


def until(inst, query, done):
    """Asks `query` until its answer is done, for at most 30 s."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if done(inst.query(query).strip()):
            return True
    return False


# Each family: its set-up (0.5 V/div, 2.5 V at the centre, 1 us/div, the
# update 1 us after the first sample, 64 averages), how it is armed, when
# it is done, and how its waveform is read and scaled. A header of another
# family's it must refuse.
def infiniivision(inst):
    for c in [":CHAN1:SCAL 0.5", ":CHAN1:OFFS 2.5", ":TIM:SCAL 1E-6", ":TIM:REF LEFT",
              ":TIM:POS -1E-6", ":ACQ:TYPE AVER", ":ACQ:COUN 64", ":TRIG:EDGE:SOUR EXT",
              ":WAV:SOUR CHAN1", ":WAV:FORM WORD", ":WAV:UNS 1", ":WAV:BYT MSBF", ":SINGle"]:
        inst.write(c)
    program(TO)
    check("InfiniiVision :TER?", until(inst, ":TER?", lambda a: a == "+1"))
    pre = [float(f) for f in inst.query(":WAV:PRE?").split(",")]
    codes = inst.query_binary_values(":WAV:DATA?", datatype="H", is_big_endian=True,
                                     container=list)
    xinc, xorg, xref, yinc, yorg, yref = pre[4:10]
    return [((i - xref) * xinc + xorg, (c - yref) * yinc + yorg) for i, c in enumerate(codes)], yinc * 256


def ds1000z(inst):
    for c in [":CHAN1:SCAL 0.5", ":CHAN1:OFFS -2.5", ":TIM:MAIN:SCAL 1E-6",
              ":TIM:MAIN:OFFS 4E-6", ":ACQ:TYPE AVER", ":ACQ:AVER 64", ":TRIG:EDGE:SOUR EXT",
              ":WAV:SOUR CHAN1", ":WAV:MODE RAW", ":WAV:FORM BYTE", ":WAV:STAR 1",
              ":WAV:STOP 10000", ":SINGle"]:
        inst.write(c)
    program(TO)
    check("DS1000Z :TRIG:STAT?", until(inst, ":TRIG:STAT?", lambda a: a == "STOP"))
    pre = [float(f) for f in inst.query(":WAV:PRE?").split(",")]
    codes = inst.query_binary_values(":WAV:DATA?", datatype="B", container=list)
    xinc, xorg, xref, yinc, yorg, yref = pre[4:10]
    return [((i - xref) * xinc + xorg, (c - yorg - yref) * yinc) for i, c in enumerate(codes)], yinc


def tektronix(inst):
    for c in ["CH1:SCA 0.5", "CH1:OFFS 2.5", "CH1:POS 0", "HOR:SCA 1E-6", "HOR:POS 10",
              "ACQ:MOD AVE", "ACQ:NUMAV 64", "TRIG:A:EDGE:SOU AUX", "DAT:SOU CH1",
              "DAT:ENC RIB", "DAT:WID 2", "DAT:STAR 1", "DAT:STOP 10000", "ACQ:STOPA SEQ",
              "ACQ:STATE RUN"]:
        inst.write(c)
    program(TO)
    check("Tektronix ACQ:STATE?", until(inst, "ACQ:STATE?", lambda a: a == "0"))
    check("Tektronix ACQ:NUMACQ?", inst.query("ACQ:NUMACQ?").strip() == "64")
    f = {k: float(inst.query("WFMO:%s?" % k)) for k in ("XIN", "XZE", "PT_O", "YMU", "YOF", "YZE")}
    codes = inst.query_binary_values("CURV?", datatype="h", is_big_endian=True, container=list)
    return [(f["XZE"] + f["XIN"] * (i - f["PT_O"]), (c - f["YOF"]) * f["YMU"] + f["YZE"])
            for i, c in enumerate(codes)], f["YMU"] * 256


def siglent(inst):
    for c in ["C1:VDIV 0.5V", "C1:OFST -2.5V", "TDIV 1US", "TRDL 6US", "ACQW AVERAGE,64",
              "TRSE EDGE,SR,EX,HT,OFF", "WFSU SP,0,NP,0,FP,0", "TRMD SINGLE"]:
        inst.write(c)
    program(TO)
    check("Siglent SAST?", until(inst, "SAST?", lambda a: a == "SAST Stop"))
    vdiv, ofst = value(inst.query("C1:VDIV?")), value(inst.query("C1:OFST?"))
    tdiv, trdl = value(inst.query("TDIV?")), value(inst.query("TRDL?"))
    sara = value(inst.query("SARA?"))
    codes = inst.query_binary_values("C1:WF? DAT2", datatype="b", container=list)
    return [(trdl - tdiv * 7 + i / sara, c * vdiv / 25 - ofst) for i, c in enumerate(codes)], vdiv / 25


FAMILIES = {
    "InfiniiVision": (infiniivision, "C1:VDIV 0.1", "KEYSIGHT TECHNOLOGIES,DSO-X 3034T,"),
    "DS1000Z": (ds1000z, "CH1:SCA 0.1", "RIGOL TECHNOLOGIES,DS1104Z,"),
    "Tektronix": (tektronix, ":CHAN1:SCAL 0.1", "TEKTRONIX,MSO44,"),
    "Siglent": (siglent, ":WAV:DATA?", "Siglent Technologies,SDS1202X-E,"),
}

rm = pyvisa.ResourceManager("@py")
for family, (capture, foreign, idn) in FAMILIES.items():
    program(FROM)
    scope, resource = start_scope(family)
    try:
        inst = rm.open_resource(resource, read_termination="\n", write_termination="\n",
                                timeout=30000)
        check("%s *IDN?" % family, inst.query("*IDN?").startswith(idn))
        inst.write("*RST;*CLS")
        points, code = capture(inst)
        check("%s errors after the capture" % family, inst.query("SYST:ERR?").strip() in
              ('0,"No error"', '+0,"No error"'), inst.query("SYST:ERR?"))
        check("%s points" % family, len(points) >= 5000, len(points))
        interval = points[1][0] - points[0][0]
        check("%s the first sample 1 us before the update" % family,
              abs(points[0][0] + 1e-6) < interval / 2, points[0][0])
        worst = max(abs(v - truth(t)) / code for t, v in points)
        # 64 averages of 2.5 codes rms of noise, a byte's rounding: within 3 codes.
        check("%s the step as the model draws it" % family, worst < 3, "worst %.2f codes" % worst)
        print("%s: %d points, %.2f codes from the model at worst" % (family, len(points), worst))
        inst.write(foreign)
        check("%s %s, another family's" % (family, foreign),
              inst.query("SYST:ERR?").strip() == '-113,"Undefined header"')
        if family == "InfiniiVision":
            # Offset at the final value on a fine scale: the step starts far
            # off screen, at the lowest code, and ends near the middle one.
            program(FROM)
            for c in [":ACQ:TYPE NORM", ":CHAN1:SCAL 0.01", ":CHAN1:OFFS 3.6975",
                      ":TIM:SCAL 2E-6", ":WAV:FORM BYTE", ":DIG CHAN1"]:
                inst.write(c)
            program(TO)
            check("the fine scale's *OPC?", inst.query("*OPC?").strip() == "1")
            pre = [float(f) for f in inst.query(":WAV:PRE?").split(",")]
            codes = inst.query_binary_values(":WAV:DATA?", datatype="B", container=list)
            times = [(i - pre[6]) * pre[4] + pre[5] for i in range(len(codes))]
            early = [c for t, c in zip(times, codes) if t < 1e-6]
            late = [c for t, c in zip(times, codes) if t > 15e-6]
            check("the rail before the step settles", early and set(early) == {0},
                  sorted(set(early))[:5])
            check("the middle once settled", late and abs(sum(late) / len(late) - 128) < 3,
                  sum(late) / max(len(late), 1))
        inst.close()
    finally:
        scope.terminate()
        scope.wait(timeout=30)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("ok: %d families" % len(FAMILIES))
