#!/usr/bin/python3
"""Attacks on the files qdctl writes and reads, kept as regression tests: a
link planted in a shared folder, the mode of a replaced results file, the
board's state file changed under a running `qdctl serve`, and a state file
that others may write. Runs against any qdctl, a build's or the installed
one, on a simulated board of its own.

Usage: files.py QDCTL
"""
import os
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

qdctl = sys.argv[1]
work = tempfile.mkdtemp(prefix="qd-hostile-")
state = os.path.join(work, "board.state")
trace = os.path.join(work, "trace")
env = dict(os.environ, QD_BOARD="sim", QD_BOARD_STATE=state, QD_BOARD_TRACE=trace, QD_RESULTS="none",
           QT_QPA_PLATFORM="offscreen")
for name in ("QD_BOARD_FAULT", "QD_BOARD_VREF", "QD_BOARD_MODEL", "QD_BOARD_COUNT"):
    env.pop(name, None)
# The mode a new results file must get follows from it.
os.umask(0o027)
SWEEP = ["sweep", "--device", "QD1200", "--from", "0", "--to", "F"]
ROWS = 17  # the header and 16 codes


def run(*args):
    return subprocess.run([qdctl] + list(args), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=120)


def read(path):
    with open(path) as f:
        return f.read()


def write(path, text, mode):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def board_touched():
    return os.path.exists(trace) and "request" in read(trace)


def link_planted_in_a_sticky_folder():
    if os.geteuid() != 0:
        return "skip: only root can make a link that belongs to another user"
    shared = os.path.join(work, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    victim = os.path.join(work, "victim.csv")
    write(victim, "private\n", 0o600)
    problems = []
    for option, name in (("--csv", "x.csv"), ("--plot", "x.png")):
        link = os.path.join(shared, name)
        os.symlink(victim, link)
        os.lchown(link, 65534, 65534)
        if os.path.exists(trace):
            os.remove(trace)
        extra = [] if option == "--csv" else ["--csv", os.path.join(work, "plotted.csv")]
        r = run(*SWEEP, *extra, option, link)
        lines = r.stderr.strip().splitlines()
        if r.returncode != 8:
            problems.append("%s through the link: status %d, want 8: %s" % (option, r.returncode, r.stderr))
        elif len(lines) != 1 or link not in lines[0]:
            problems.append("%s: want one line naming %s, got %r" % (option, link, r.stderr))
        if board_touched():
            problems.append(option + ": the board was touched")
        if read(victim) != "private\n" or mode_of(victim) != 0o600:
            problems.append(option + ": the file the link leads to was changed")
        if not os.path.islink(link):
            problems.append(option + ": the link was replaced")
    return "; ".join(problems)


def mode_kept():
    problems = []
    private = os.path.join(work, "private.csv")
    write(private, "earlier results\n", 0o600)
    fresh = os.path.join(work, "fresh.csv")
    # A link of the user's own in their own folder is written through.
    target = os.path.join(work, "behind-link.csv")
    write(target, "earlier results\n", 0o640)
    own_link = os.path.join(work, "own-link.csv")
    os.symlink(target, own_link)
    picture = os.path.join(work, "private.svg")
    write(picture, "<svg/>", 0o600)
    r = run(*SWEEP, "--csv", private)
    r2 = run(*SWEEP, "--csv", fresh, "--plot", picture)
    r3 = run(*SWEEP, "--csv", own_link)
    for what, result in (("replacing a 0600 file", r), ("a new file and a plot", r2),
                         ("through the user's own link", r3)):
        if result.returncode != 0:
            problems.append("%s: status %d: %s" % (what, result.returncode, result.stderr))
    for path, want in ((private, 0o600), (fresh, 0o666 & ~0o027), (picture, 0o600), (target, 0o640)):
        if mode_of(path) != want:
            problems.append("%s: mode %04o, want %04o" % (os.path.basename(path), mode_of(path), want))
    for path in (private, fresh, target):
        if read(path).count("\n") != ROWS:
            problems.append(os.path.basename(path) + ": not the sweep's rows")
    if not os.path.islink(own_link):
        problems.append("the user's own link was replaced by a file")
    return "; ".join(problems)


def serve():
    server = subprocess.Popen([qdctl, "serve", "--device", "QD1200", "--listen", "127.0.0.1:0"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([server.stdout], [], [], 60)
    line = server.stdout.readline() if ready else ""
    found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
    if not found:
        server.kill()
        raise RuntimeError("qdctl serve did not start: %r %s" % (line, server.stderr.read()))
    return server, int(found.group(1))


def replace_state():
    copy = state + ".copy"
    shutil.copyfile(state, copy)
    os.chmod(copy, 0o600)
    os.rename(copy, state)


def state_emptied_under_a_running_server():
    changes = (("emptied", lambda: os.truncate(state, 0)),
               ("truncated to 1 byte", lambda: os.truncate(state, 1)),
               ("replaced by a copy of itself", replace_state))
    for path in (state, trace):
        if os.path.exists(path):
            os.remove(path)
    server, port = serve()
    problems = []
    try:
        client = socket.create_connection(("127.0.0.1", port), timeout=30)
        replies = client.makefile("r")

        def query(message):
            client.sendall(message.encode() + b"\n")
            return replies.readline().strip()

        if not re.fullmatch(r"\d+", query("MEAS:RAW?")):
            problems.append("no reading before any change")

        def downloads():
            return read(trace).count("download ") if os.path.exists(trace) else 0

        for what, change in changes:
            before = downloads()
            change()
            try:
                # What is done to the file's bytes is found by the next request;
                # a file put in its place only by a look at the open file, which
                # the board makes once every few milliseconds, not at every
                # request. Until then it reads from the file that lost its name.
                deadline = time.monotonic() + 30
                reading = query("MEAS:RAW?")
                while (downloads() == before and re.fullmatch(r"\d+", reading)
                       and time.monotonic() < deadline):
                    time.sleep(0.001)
                    reading = query("MEAS:RAW?")
                error = query("SYST:ERR?")
                # The board works as before: mid-scale reads 2048 counts.
                mid = query("SOUR:DAC:CODE #H800;:MEAS:RAW?")
            except OSError as e:
                problems.append("%s: the connection broke: %s" % (what, e))
                break
            if not re.fullmatch(r"\d+", reading):
                problems.append("%s: MEAS:RAW? answered %r, not a reading" % (what, reading))
            if not error.startswith("0,"):
                problems.append("%s: an error was queued: %s" % (what, error))
            if mid != "2048":
                problems.append("%s: mid-scale read %r afterwards, not 2048" % (what, mid))
        client.close()
    finally:
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(60)
        except subprocess.TimeoutExpired:
            server.kill()
            status = server.wait()
    err = server.stderr.read()
    if status != 0:
        problems.append("qdctl serve ended with status %d: %s" % (status, err))
    made = read(trace).count("download ") if os.path.exists(trace) else 0
    if made != 1 + len(changes):
        problems.append("%d firmware downloads, want one at the start and one per change: %s"
                        % (made, err))
    return "; ".join(problems)


def state_file_others_may_write():
    if os.path.exists(state):
        os.remove(state)
    made = run("program", "--device", "QD1200", "800")
    if made.returncode != 0:
        return "the board could not be programmed: " + made.stderr
    os.chmod(state, 0o666)
    before = open(state, "rb").read()
    r = run("read")
    problems = []
    if r.returncode != 4 or "others may write it (mode 0666)" not in r.stderr:
        problems.append("status %d: %s" % (r.returncode, r.stderr.strip()))
    if open(state, "rb").read() != before:
        problems.append("the refused file was written")
    os.remove(state)
    return "; ".join(problems)


passed = failed = 0
for case in (link_planted_in_a_sticky_folder, mode_kept, state_emptied_under_a_running_server,
             state_file_others_may_write):
    name = case.__name__.replace("_", " ")
    try:
        outcome = case()
    except Exception as e:  # a case that breaks is a failure, and the others still run
        outcome = "%s: %s" % (type(e).__name__, e)
    if outcome.startswith("skip: "):
        print("SKIP %s: %s" % (name, outcome[len("skip: "):]))
    elif outcome:
        print("FAIL %s: %s" % (name, outcome))
        failed += 1
    else:
        print("PASS " + name)
        passed += 1
print("%d passed, %d failed" % (passed, failed))
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failed else 0)
