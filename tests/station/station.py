#!/usr/bin/python3
"""characterize --station on four simulated boards, each with its own
simulated meter: every slot passes and is recorded with its DUT serial;
`qdctl datasheet` over them agrees with the table worked out from each run's
own figures in the store; a meter killed mid-run ends its slot alone
(status 10, its rows kept) while the others pass; SIGINT to the station ends
every slot after its row; a station killed outright takes its slots with it,
and the next one on those boards runs and says why its slots failed; a
station stopped part way is resumed; station files that would put two
slots on one board, meter or file are refused before anything starts.

Usage: station.py QDCTL
"""
import contextlib
import datetime
import json
import os
import re
import select
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

QDCTL = sys.argv[1]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


work = tempfile.mkdtemp(prefix="qd-station-")
store = os.path.join(work, "results.sqlite")
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim", QD_BOARD_COUNT="4",
           QD_BOARD_MODEL="lot:seed=7", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS=store, QD_METER_TIME_SCALE="0")
for name in ("QD_BOARD_FAULT", "QD_BOARD_TRACE", "QD_BOARD_VREF"):
    env.pop(name, None)
BOARDS = ["SIM0001", "SIM0002", "SIM0003", "SIM0004"]


def start_meter(board, scale):
    meter = subprocess.Popen([QDCTL, "--board", board, "sim-meter", "-q", "--listen",
                              "127.0.0.1:0"], env=dict(env, QD_METER_TIME_SCALE=scale),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([meter.stdout], [], [], 60)
    found = ready and re.match(r"listening on 127\.0\.0\.1:(\d+)$",
                               meter.stdout.readline().strip())
    if not found:
        sys.exit("qdctl sim-meter --board %s did not start" % board)
    return meter, "TCPIP::127.0.0.1::%s::SOCKET" % found.group(1)


@contextlib.contextmanager
def meters_on(scale):
    """A meter on each board, killed at the end whatever happened."""
    meters = []
    try:
        for board in BOARDS:
            meters.append(start_meter(board, scale))
        yield meters
    finally:
        for meter, _ in meters:
            meter.kill()
            meter.wait()


def station_file(name, resources):
    path = os.path.join(work, name)
    with open(path, "w") as out:
        out.write("# slot: board, meter, DUT serial\n\n")
        for i, (board, resource) in enumerate(zip(BOARDS, resources)):
            out.write("%s %s U%d\n" % (board, resource, i + 1))
    return path


def rows(path):
    try:
        with open(path) as f:
            return sum(1 for line in f if line[:1].isdigit() or line[:1] in "ABCDEF")
    except FileNotFoundError:
        return 0


def now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def recorded_codes(unit, since):
    """Codes of the unit's run begun since `since` that the store holds:
    committed as they are measured."""
    try:
        with sqlite3.connect(store, timeout=10) as db:
            return db.execute("SELECT COUNT(DISTINCT code) FROM readings WHERE run = (SELECT id "
                              "FROM runs WHERE dut_serial = ? AND started >= ? "
                              "ORDER BY started DESC LIMIT 1)", (unit, since)).fetchone()[0]
    except sqlite3.Error:
        return 0


def wait_codes(unit, count, process, since):
    """Until the unit's run holds `count` codes: the event the test acts on."""
    deadline = time.monotonic() + 120
    while (recorded_codes(unit, since) < count and process.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.02)
    return recorded_codes(unit, since) >= count


def characterize(station, out, extra=(), json_out=True):
    return subprocess.Popen([QDCTL] + (["--json"] if json_out else []) +
                            ["characterize", "--device", "QD1600", "--codes", "100", "--station",
                             station] + (["--out", out] if out else []) + list(extra),
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finished(process):
    out, err = process.communicate(timeout=240)
    try:
        return process.returncode, json.loads(out.strip().splitlines()[-1]), err
    except (ValueError, IndexError):
        return process.returncode, {}, err


# 1. Four slots, four meters, each on its own board: every slot passes.
with meters_on("0") as meters:
    out = os.path.join(work, "lot")
    status, result, err = finished(characterize(station_file("all.station",
                                                             [m[1] for m in meters]), out,
                                                ["--samples", "2", "--report", "lot.pdf"]))
    check(status == 0, "a station of four passing slots ends 0, not %s: %s" % (status, err))
    found = result.get("slots", [])
    check([s.get("board") for s in found] == BOARDS, "each slot names its board's serial: %s"
          % [s.get("board") for s in found])
    check([s.get("serial") for s in found] == ["U1", "U2", "U3", "U4"], "DUT serials")
    check(all(s.get("status") == 0 and s.get("verdict") == "PASS" for s in found),
          "every slot PASS: %s" % [(s.get("status"), s.get("verdict")) for s in found])
    for i in range(1, 5):
        for ext in ("csv", "pdf"):
            check(os.path.getsize(os.path.join(out, "U%d.%s" % (i, ext))) > 0,
                  "U%d.%s written into --out" % (i, ext))
    offsets = {s.get("figures", {}).get("offset_error_mv", {}).get("value") for s in found}
    check(len(offsets) == 4, "a lot's four converters differ: %s" % offsets)
    with sqlite3.connect(store) as db:
        recorded = db.execute("SELECT dut_serial, slot, station, board_serial, verdict FROM runs "
                              "WHERE kind = 'characterize' ORDER BY slot").fetchall()
    check([r[0] for r in recorded] == ["U1", "U2", "U3", "U4"] and
          [r[1] for r in recorded] == [1, 2, 3, 4] and
          {r[2] for r in recorded} == {result.get("station")} and
          [r[3] for r in recorded] == BOARDS,
          "the store holds the four runs of the station: %s" % recorded)
    with sqlite3.connect(store) as db:
        made_by = {r[0] for r in db.execute("SELECT command_line FROM runs WHERE station = ?",
                                            (result.get("station"),))}
    check(len(made_by) == 1 and " --station " in next(iter(made_by)) and
          "--station-slot" not in next(iter(made_by)),
          "each slot's run names the command typed, not the slot's own: %s" % made_by)
    check(set(s.get("run") for s in found) == set(
        r[0] for r in sqlite3.connect(store).execute("SELECT id FROM runs WHERE station = ?",
                                                     (result.get("station"),))),
          "each slot's JSON names its recorded run")
    # The datasheet of the station's runs, against the same table worked out
    # here from each run's own figures in the store.
    sheet = subprocess.run([QDCTL, "--json", "datasheet", "--station-run"], env=env,
                           capture_output=True, text=True, timeout=60)
    table = json.loads(sheet.stdout or "{}")
    with sqlite3.connect(store) as db:
        per_unit = {}  # figure -> run -> value
        for run, name, value in db.execute(
                "SELECT run, name, value FROM figures JOIN runs ON runs.id = figures.run "
                "WHERE runs.station = ? AND value IS NOT NULL", (result.get("station"),)):
            per_unit.setdefault(name, {})[run] = value
    check(table.get("units") == 4, "the datasheet counts 4 units: %s" % sheet.stdout)
    prefix = subprocess.run([QDCTL, "--json", "datasheet", "--station-run", result.get("station", "")[:8]],
                            env=env, capture_output=True, text=True, timeout=60)
    check(json.loads(prefix.stdout or "{}").get("runs") == table.get("runs"),
          "--station-run takes the start of a station's id: %s" % prefix.stderr)
    for name in ("offset_error_mv", "gain_error_percent", "inl_best_fit_lsb_min",
                 "inl_best_fit_lsb_max", "zero_code_error_mv"):
        values = list(per_unit.get(name, {}).values())
        mine = table.get("figures", {}).get(name, {})
        want = {"min": min(values), "typ": sum(values) / len(values), "max": max(values),
                "sigma": statistics.stdev(values)}
        check(all(abs(mine.get(k, 1e9) - v) <= 1e-9 * max(1, abs(v)) for k, v in want.items())
              and mine.get("units") == 4,
              "datasheet %s: %s, from the store %s" % (name, mine, want))

def slots_of(station):
    """The slots `station` started, by their number: {N: pid}."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                args = f.read().split(b"\0")
            with open("/proc/%s/stat" % pid) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        if parent == station.pid and b"--station-slot" in args:
            found[int(args[args.index(b"--station-slot") + 1].rsplit(b":", 1)[1])] = int(pid)
    return found


def kill_slot(station, number):
    """SIGKILL to the slot of `station` started with --station-slot ID:N."""
    pid = slots_of(station).get(number)
    if pid:
        os.kill(pid, signal.SIGKILL)
    return pid is not None


def gone(pid):
    """Whether the process has ended: no more, or a zombie no one reaps."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


# 2. One meter killed mid-run: its slot ends alone with status 10 and its
#    rows. Another slot killed by a signal is said to be, not taken for a
#    library that cannot load.
with meters_on("1") as meters:
    out = os.path.join(work, "killed")
    since = now()
    station = characterize(station_file("killed.station", [m[1] for m in meters]), out,
                           ["--nplc", "1", "--samples", "1"])
    check(wait_codes("U2", 20, station, since), "slot 2 measured 20 codes")
    meters[1][0].kill()
    check(kill_slot(station, 3), "slot 3's qdctl found to kill")
    status, result, err = finished(station)
    found = result.get("slots", [])
    check(status == 1, "a station with a failed slot ends 1, not %s" % status)
    check("slot 3 (U3): ended by signal 9" in err, "the killed slot is said to be: %s" % err)
    check([s.get("status") for s in found] == [0, 10, 137, 0],
          "the killed meter's slot alone ends 10: %s\n%s" % ([s.get("status") for s in found],
                                                              err))
    check(rows(os.path.join(out, "U2.csv")) >= 20, "the killed slot's rows are kept")
    check("slot 2 (U2)" in err, "its message names the slot: %s" % err)

# 3. SIGINT to the station ends every slot after its current row.
with meters_on("1") as meters:
    out = os.path.join(work, "stopped")
    since = now()
    station = characterize(station_file("stopped.station", [m[1] for m in meters]), out,
                           ["--nplc", "1", "--samples", "1", "--no-preflight"])
    check(all(wait_codes("U%d" % i, 5, station, since) for i in range(1, 5)),
          "every slot measured 5 codes")
    station.send_signal(signal.SIGINT)
    status, result, err = finished(station)
    check(status == 130, "SIGINT ends the station with 130, not %s" % status)
    check(all(s.get("status") == 130 and s.get("verdict") == "INTERRUPTED"
              for s in result.get("slots", [])),
          "each slot interrupted: %s" % [(s.get("status"), s.get("verdict"))
                                         for s in result.get("slots", [])])

# 4. A station file qdctl cannot take is refused before any board is touched:
#    among them, two slots on one board, meter or file however each is named.
SOCKET = "TCPIP::127.0.0.1::%d::SOCKET"
for text, extra, says in [
        ("SIM0001 %s U1\nSIM0001 %s U2\n" % (SOCKET % 1, SOCKET % 2), [],
         ":2: the board SIM0001 is line 1's too"),
        ("SIM0001\n", [], ":1: a slot is BOARD METER [DUT-SERIAL]"),
        ("SIM0001 %s ../x\n" % (SOCKET % 1), [], "names the slot's files"),
        ("# nothing\n", [], "no slot in it"),
        ("1 %s U1\nsim0001 %s U2\n" % (SOCKET % 1, SOCKET % 2), [],
         ":2: the board sim0001 (index 1) is line 1's too"),
        ("SIM0001 %s U1\nSIM0002 TCPIP::localhost::1::SOCKET U2\n" % (SOCKET % 1), [],
         ":2: the meter TCPIP::localhost::1::SOCKET is line 1's too"),
        ("SIM0001 TCPIP::127.0.0.1::SOCKET U1\nSIM0002 TCPIP::127.0.0.1::5025::SOCKET U2\n", [],
         ":2: the meter TCPIP::127.0.0.1::5025::SOCKET is line 1's too"),
        ("SIM0001 TCPIP::127.0.0.1::INSTR U1\nSIM0002 tcpip0::127.0.0.1::inst0::instr U2\n", [],
         ":2: the meter tcpip0::127.0.0.1::inst0::instr is line 1's too"),
        ("SIM0001 %s\nSIM0002 %s SLOT1\n" % (SOCKET % 1, SOCKET % 2), [],
         ":2: the file %s is line 1's too" % os.path.join(".", "SLOT1.csv")),
        ("SIM0001 %s X\nSIM0002 %s x-inl\n" % (SOCKET % 1, SOCKET % 2),
         ["--plot", "p.pdf", "--report", "r.pdf"],
         ":2: the file %s is line 1's too" % os.path.join(".", "x-inl.pdf")),
        ("SIM0001 %s U1\n# \0\n" % (SOCKET % 1), [], ":2: a NUL byte"),
        ("".join("%s %s U%d\n" % (board, SOCKET % (i + 1), i + 1)
                 for i, board in enumerate(BOARDS + ["5"])), [], ": 5 slots, but 4 boards here")]:
    path = os.path.join(work, "bad.station")
    with open(path, "w") as f:
        f.write(text)
    done = subprocess.run([QDCTL, "characterize", "--device", "QD1600", "--station", path] + extra,
                          env=env, capture_output=True, text=True, timeout=60)
    check(done.returncode == 2 and says in done.stderr,
          "%r refused with %r: %s %s" % (text, says, done.returncode, done.stderr))

fifo = os.path.join(work, "fifo.station")
os.mkfifo(fifo)
try:
    done = subprocess.run([QDCTL, "characterize", "--device", "QD1600", "--station", fifo],
                          env=env, capture_output=True, text=True, timeout=60)
    check(done.returncode == 2 and fifo in done.stderr,
          "a FIFO as the station file refused: %s %s" % (done.returncode, done.stderr))
except subprocess.TimeoutExpired:
    check(False, "a FIFO as the station file is waited on")

# --out through a link another user planted in a shared folder is refused
# as every other results path there is.
if os.geteuid() == 0:
    shared = os.path.join(work, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    victim = os.path.join(work, "victim")
    os.mkdir(victim)
    link = os.path.join(shared, "lot")
    os.symlink(victim, link)
    os.lchown(link, 65534, 65534)
    path = os.path.join(work, "one.station")
    with open(path, "w") as f:
        f.write("SIM0001 %s U1\n" % (SOCKET % 1))
    done = subprocess.run([QDCTL, "characterize", "--device", "QD1600", "--station", path,
                           "--out", link], env=env, capture_output=True, text=True, timeout=60)
    check(done.returncode == 8 and link in done.stderr and not os.listdir(victim),
          "--out through a planted link refused: %s %s" % (done.returncode, done.stderr))

# 5. SIGKILL to the station ends its slots with it; the next station on
#    those boards runs, and its summary says why each slot failed.
with meters_on("1") as meters:
    since = now()
    station = characterize(station_file("orphans.station", [m[1] for m in meters]),
                           os.path.join(work, "orphans"),
                           ["--nplc", "10", "--samples", "4", "--no-preflight"])
    check(all(wait_codes("U%d" % i, 2, station, since) for i in range(1, 5)),
          "every slot measured 2 codes")
    slots = slots_of(station)
    check(len(slots) == 4, "the station's four slots found: %s" % slots)
    station.kill()
    station.wait()
    deadline = time.monotonic() + 60
    while not all(map(gone, slots.values())) and time.monotonic() < deadline:
        time.sleep(0.05)
    left = [pid for pid in slots.values() if not gone(pid)]
    check(not left, "the slots of a station killed outright end with it: %s still run" % left)
    for pid in left:
        os.kill(pid, signal.SIGKILL)
with meters_on("0") as meters:
    station = characterize(station_file("after.station", [m[1] for m in meters]),
                           os.path.join(work, "after"), ["--limits", "inl=0.001"], json_out=False)
    out, err = station.communicate(timeout=240)
    table = re.findall(r"^([1-4]) +SIM000\d +U\d +(\d+) +(\S+)", out, re.M)
    check(station.returncode == 1 and table == [(str(i), "1", "FAIL") for i in range(1, 5)],
          "the next station on the boards runs, each slot failing its limit: %s\n%s%s"
          % (station.returncode, out, err))
    for i in range(1, 5):
        check(re.search(r"^slot %d \(U%d\) FAIL:\n  best-fit INL .* beyond" % (i, i), out, re.M),
              "the summary says why slot %d failed:\n%s" % (i, out))

# 6. A station stopped part way, resumed: each slot measures only the codes
#    its CSV lacks, finishes it and is recorded as a slot of a station.
with meters_on("1") as meters:
    out = os.path.join(work, "resumed")
    path = station_file("resumed.station", [m[1] for m in meters])
    options = ["--nplc", "1", "--samples", "1", "--no-preflight"]
    since = now()
    station = characterize(path, out, options)
    check(all(wait_codes("U%d" % i, 5, station, since) for i in range(1, 5)),
          "every slot measured 5 codes before the stop")
    station.send_signal(signal.SIGINT)
    status, _, err = finished(station)
    check(status == 130, "the station to resume stopped with 130, not %s: %s" % (status, err))
    kept = [rows(os.path.join(out, "U%d.csv" % i)) for i in range(1, 5)]
    status, result, err = finished(characterize(path, None, options + ["--resume", out]))
    found = result.get("slots", [])
    check(status == 0 and len(found) == 4, "the resumed station ends 0, not %s: %s" % (status, err))
    for i, s in enumerate(found):
        csv = os.path.join(out, "U%d.csv" % (i + 1))
        check(s.get("resumed") == kept[i] and s.get("measured") == s.get("planned") == rows(csv)
              and s.get("verdict") == "PASS" and "figures" in s,
              "slot %d resumed its %d codes and finished %s: %s" % (i + 1, kept[i], csv, s))
    with sqlite3.connect(store) as db:
        recorded = [r[0] for r in db.execute("SELECT slot FROM runs WHERE station = ? ORDER BY slot",
                                             (result.get("station"),))]
    check(recorded == [1, 2, 3, 4], "the resumed slots are recorded as the station's: %s" % recorded)

if failures:
    sys.exit("%d failed" % len(failures))
print("station: all passed")
