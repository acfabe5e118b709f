#!/usr/bin/python3
"""qdctl serve driven by SCPI clients nobody here wrote: PyVISA with its
pure-Python backend and lxi-tools' `lxi scpi -r`, on loopback, on the
simulated board.

Usage: scpi_clients.py QDCTL LINK
"""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading

import pyvisa

qdctl, link = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp(prefix="qd-scpi-")
trace = os.path.join(work, "trace")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS=os.path.join(work, "results.sqlite"),
           QD_BOARD_TRACE=trace)
for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_MODEL"):
    env.pop(name, None)
failures = []


def check(what, got, want):
    ok = want(got) if callable(want) else got == want
    if not ok:
        failures.append("%s: got %r, want %r" % (what, got, want))


def serve(faults=None):
    server_env = dict(env, QD_BOARD_FAULT=faults) if faults else env
    extra = ["--download"] if faults else []
    server = subprocess.Popen([qdctl, "--link", link] + extra + ["serve", "--device", "QD1200",
                               "--listen", "127.0.0.1:0"], env=server_env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([server.stdout], [], [], 60)
    line = server.stdout.readline() if ready else ""
    found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
    if not found:
        server.kill()
        sys.exit("qdctl serve did not start: %r %s" % (line, server.stderr.read()))
    return server, int(found.group(1))


def stop(server):
    server.send_signal(signal.SIGTERM)
    status = server.wait(60)
    check("qdctl serve ended by SIGTERM, status", status, 0)


server, port = serve()
try:
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % port)
    inst.read_termination = "\n"
    inst.write_termination = "\n"
    inst.timeout = 20000
    q = inst.query

    check("*IDN?", q("*IDN?"), lambda s: re.match(r"Quensor,QD1600 evaluation board,sim,\d+\.\d+\.\d+$", s))
    check("*TST?", q("*TST?"), "0")
    inst.write("*RST")
    check("code after *RST", q("SOUR:DAC:CODE?"), "0")
    check("mode after *RST", q("SOURce:DAC:PMODe?"), "NORM")
    # By code, in each power mode: mid-scale reads 2048 counts only when normal.
    inst.write("SOUR:DAC:CODE #H800")
    for mode, counts in (("NORM", "2048"), ("PD1K", "0"), ("PD100K", "0"), ("TST", "0"),
                         ("NORMal", "2048")):
        inst.write("SOUR:DAC:PMOD " + mode)
        check("MEAS:RAW? in " + mode, q("MEAS:RAW?"), counts)
    check("frame of code 800 on QD1200", q("SOUR:DAC:FRAM?"), str(0x2000))
    check("MEAS:VOLT? of code 800", q("MEASure:VOLTage:DC?"), "2.465")
    # By voltage.
    inst.write("SOUR:VOLT 1.25")
    check("MEAS:VOLT? after 1.25 V", float(q("MEAS:VOLT?")), lambda v: abs(v - 1.25) < 0.003)
    check("compound message", q("SOUR:DAC:CODE 4095;:MEAS:RAW?;:SYST:ERR?"),
          '4095;0,"No error"')
    # The error queue after bad commands, oldest first.
    inst.write("FOO:BAR")
    inst.write("SOUR:DAC:CODE 5000")
    inst.write("SYST:DEV QD9999")
    for code in ("-113", "-222", "-224"):
        check("SYST:ERR? after bad commands", q("SYST:ERR?").split(",")[0], code)
    check("empty error queue", q("SYSTem:ERRor:NEXT?"), '0,"No error"')
    check("code kept after a refused one", q("SOUR:DAC:CODE?"), "4095")

    # The README's loop: a write, then a query in a message of its own.
    readings = []
    for code in range(0, 4096, 37):
        inst.write("SOUR:DAC:CODE %d" % code)
        readings.append((code, q("MEAS:RAW?")))
    check("write, then query", [r for r in readings if r[1] != str(r[0])], [])

    # The mandatory common commands, and the SCPI forms lab code uses.
    inst.write("*CLS;*ESE 33;*SRE 32")
    check("*ESE? and *SRE?", q("*ESE?;*SRE?"), "33;32")
    inst.write("*OPC")
    check("*OPC sets operation complete", q("*STB?;*ESR?"), "96;1")
    inst.write("*WAI")
    check("*OPC? after *WAI", q("*OPC?"), "1")
    check("a query of the largest code", q("SOUR:DAC:CODE? MAX"), "4095")
    inst.write("VOLT 2465 mV")
    check("SOURce left out, a unit given", q("SOUR:DAC:CODE?"), "2048")
    check("MEAS? and READ? at full precision", q("MEAS?;:READ?"), "2.465;2.465")
    inst.write("SOUR:DAC:CODE 1;PMOD 1k")
    check("the command line's mode names", q("SOUR:DAC:PMOD?;:MEAS:VOLT?"), "PD1K;0.0")
    inst.write("SOUR:DAC:PMOD NORM;:MEAS:VOLT?")
    check("a reading of one count", inst.read(), "0.00120361328125")
    inst.write("FOO;:SOUR:DAC:CODE 5000")
    check("errors counted, then read at once", q("SYST:ERR:COUN?;ALL?"),
          '1;-113,"Undefined header"')
    inst.close()

    # Two clients that each write a code and read it back: with the lock,
    # neither sees the other's code, and each has its own error queue.
    mismatches = []
    # What each client got through: a client that died half-way, or hangs,
    # must not pass as one that saw no mismatch.
    ended = {}

    def client(offset):
        try:
            own = rm.open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % port,
                                   read_termination="\n", write_termination="\n", timeout=20000)
            done = 0
            for code in range(offset, 4096, 97):
                while own.query("SYST:LOCK:REQ?") != "1":
                    pass
                own.write("SOUR:DAC:CODE %d" % code)
                reading = own.query("MEAS:RAW?")
                own.write("SYST:LOCK:REL")
                if reading != str(code):
                    mismatches.append((code, reading))
                done += 1
            # Left in this connection's queue: no other queue may show it.
            own.write("BOGUS%d" % offset)
            own.close()
            ended[offset] = done
        except Exception as e:  # noqa: BLE001 - told below, with the client
            ended[offset] = repr(e)

    threads = [threading.Thread(target=client, args=(k,)) for k in (0, 48)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    check("two locking clients, codes each got through", ended,
          {k: len(range(k, 4096, 97)) for k in (0, 48)})
    check("two locking clients, readings of another's code", mismatches, [])
    holder = rm.open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % port, read_termination="\n",
                              write_termination="\n", timeout=20000)
    other = rm.open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % port, read_termination="\n",
                             write_termination="\n", timeout=20000)
    check("the lock for one", holder.query("SYST:LOCK:REQ?;:SOUR:DAC:CODE 100;CODE?"), "1;100")
    check("the other's setting refused, its query answered",
          other.query("SOUR:DAC:CODE 200;CODE?;:SYST:ERR?"),
          '100;-200,"Execution error; locked by another connection"')
    check("the holder's queue its own", holder.query("SYST:ERR?"), '0,"No error"')
    other.close()
finally:
    stop(server)

# lxi-tools: one connection per command, as a shell script would use it.
server, port = serve()
try:
    def lxi(command):
        done = subprocess.run(["lxi", "scpi", "-a", "127.0.0.1", "-p", str(port), "-r", "-t",
                               "20", command], capture_output=True, text=True, timeout=60)
        return done.stdout.strip()

    check("lxi *IDN?", lxi("*IDN?"), lambda s: s.startswith("Quensor,QD1600 evaluation board,"))
    lxi("SOUR:DAC:CODE 1024")
    check("lxi MEAS:RAW?", lxi("MEAS:RAW?"), "1024")
    check("lxi *TST?", lxi("*TST?"), "0")
    lxi("*RST")
    check("lxi MEAS:VOLT? after *RST", lxi("MEAS:VOLT?"), "0.0")
    check("lxi mandatory common commands", lxi("*ESE 1;*SRE 32;*OPC;*ESE?;*SRE?;*STB?;*ESR?"),
          "1;32;96;1")
    check("lxi *WAI, then *OPC?", lxi("*WAI;*OPC?"), "1")
    # A PyVISA client holds the lock: a shell script's command is refused,
    # its query answered, and the lock ends with the client.
    rm = pyvisa.ResourceManager("@py")
    holder = rm.open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % port, read_termination="\n",
                              write_termination="\n", timeout=20000)
    check("lock for PyVISA", holder.query("SYST:LOCK:REQ?"), "1")
    check("lxi refused while locked", lxi("SOUR:DAC:CODE 7;:SYST:ERR?"),
          '-200,"Execution error; locked by another connection"')
    check("lxi query while locked", lxi("SOUR:DAC:CODE?"), "0")
    holder.close()
    lxi("SOUR:DAC:CODE 7")
    check("lxi after the holder went", lxi("SOUR:DAC:CODE?"), "7")
finally:
    stop(server)

downloads = sum(1 for line in open(trace) if line.startswith("download"))

# A board pulled out while served (after the server's claim and two requests
# of the client, counted from a download forced here): its requests give
# -241, and the server answers what needs no board.
server, port = serve("unplug-after=3")
try:
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP0::127.0.0.1::%d::SOCKET" % port, read_termination="\n",
                            write_termination="\n", timeout=20000)
    inst.write("SOUR:DAC:CODE 100")
    check("reading before the unplug", inst.query("MEAS:RAW?"), "100")
    inst.write("SOUR:DAC:CODE 200")
    check("error after the unplug", inst.query("SYST:ERR?").split(",")[0], "-241")
    check("*IDN? without a board", inst.query("*IDN?"), lambda s: s.startswith("Quensor,"))
    inst.close()
finally:
    stop(server)
check("downloads in two server runs on one board", downloads, 1)

if failures:
    sys.exit("link %s:\n  " % link + "\n  ".join(failures))
print("ok: PyVISA and lxi scpi drive qdctl serve over link %s" % link)
