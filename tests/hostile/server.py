#!/usr/bin/python3
"""Attacks that once locked qdctl serve's clients out, kept as regression
tests, each named after its attack. On loopback, on a simulated board of
their own; QDCTL may be the build's or an installed /usr/bin/qdctl.

Usage: server.py QDCTL
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

IDLE = 2  # the server's --idle-timeout, in seconds: short, so that the test is
MAX_CLIENTS = 8  # serve's default --max-clients
WAIT = 20  # bound of a wait for what must come at once; only a fault reaches it
TOO_MANY = b'-310,"System error; too many connections"\n'

qdctl = sys.argv[1]
work = tempfile.mkdtemp(prefix="qd-hostile-server-")
env = {name: value for name, value in os.environ.items() if not name.startswith("QD_")}
env.update(QD_BOARD="sim", QD_BOARD_STATE=os.path.join(work, "board.state"),
           QD_RESULTS=os.path.join(work, "results.sqlite"),
           QT_QPA_PLATFORM="offscreen")


class Failed(Exception):
    pass


def expect(what, got, want):
    if got != want:
        raise Failed("%s: got %r, want %r" % (what, got, want))


def start_server():
    log = open(os.path.join(work, "serve.log"), "w")
    server = subprocess.Popen([qdctl, "serve", "--device", "QD1600", "--listen", "127.0.0.1:0",
                               "--idle-timeout", str(IDLE)], env=env, stdout=subprocess.PIPE,
                              stderr=log, text=True)
    ready, _, _ = select.select([server.stdout], [], [], 60)
    line = server.stdout.readline() if ready else ""
    found = re.match(r"listening on 127\.0\.0\.1:(\d+)$", line.strip())
    if not found:
        server.kill()
        with open(log.name) as messages:
            sys.exit("qdctl serve did not start: %r %s" % (line, messages.read()))
    return server, int(found.group(1))


def connect():
    return socket.create_connection(("127.0.0.1", port), timeout=WAIT)


def read_line(sock, until):
    """One line, or what came before the end of the stream; raises on a
    reset and when nothing ends it before the monotonic time `until`."""
    data = b""
    while not data.endswith(b"\n"):
        sock.settimeout(max(until - time.monotonic(), 0.001))
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def closed_cleanly(sock, until):
    """Whether the server ended the stream: its end, not a reset."""
    sock.settimeout(max(until - time.monotonic(), 0.001))
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return False


def query(sock, message=b"*IDN?"):
    sock.sendall(message + b"\n")
    return read_line(sock, time.monotonic() + WAIT)


def held_clients(count):
    clients = [connect() for _ in range(count)]
    for i, client in enumerate(clients):
        answer = query(client)
        if not answer.startswith(b"Quensor,"):
            raise Failed("held client %d was not served: %r" % (i, answer))
    return clients


def close_all(clients):
    for client in clients:
        client.close()


def eight_stalled_clients():
    """Each sends half a line, then nothing: a new client is answered within
    the idle timeout plus 1 s, or reads the -310 line at once, and the
    stalled ones are closed, not reset."""
    start = time.monotonic()
    until = start + IDLE + 1
    stalled = []
    try:
        for _ in range(MAX_CLIENTS):
            stalled.append(connect())
            stalled[-1].sendall(b"*IDN")
        newcomer = connect()
        newcomer.sendall(b"*IDN?\n")
        first = read_line(newcomer, until)
        if first == TOO_MANY:
            if not closed_cleanly(newcomer, until):
                raise Failed("the newcomer told -310 was not closed cleanly")
            for i, client in enumerate(stalled):
                if not closed_cleanly(client, until):
                    raise Failed("stalled client %d not closed cleanly within %d s"
                                 % (i, IDLE + 1))
            newcomer.close()
            newcomer = connect()
            newcomer.sendall(b"*IDN?\n")
            first = read_line(newcomer, until)
        if not first.startswith(b"Quensor,"):
            raise Failed("no answer within %d s: %r" % (IDLE + 1, first))
        newcomer.close()
    finally:
        close_all(stalled)


def quick_reconnects():
    """With 7 clients held, an eighth connects, asks *IDN? and closes, 200
    times in a row: none is refused."""
    held = held_clients(MAX_CLIENTS - 1)
    try:
        refused = []
        for i in range(200):
            client = connect()
            try:
                answer = query(client)
                if not answer.startswith(b"Quensor,"):
                    refused.append((i, answer))
            except OSError as e:
                refused.append((i, repr(e)))
            finally:
                client.close()
        expect("refused of 200, and the first ones (round, answer)", (len(refused), refused[:3]),
               (0, []))
        for i, client in enumerate(held):
            expect("held client %d afterwards" % i, query(client, b"*OPC?"), b"1\n")
    finally:
        close_all(held)


def the_excess_connection():
    """With max-clients connections held, one more reads the -310 line and
    the end of the stream, never a reset; the others go on."""
    held = held_clients(MAX_CLIENTS)
    try:
        excess = connect()
        excess.sendall(b"*IDN?\n")
        until = time.monotonic() + WAIT
        expect("the excess connection's line", read_line(excess, until), TOO_MANY)
        expect("closed, not reset", closed_cleanly(excess, until), True)
        excess.close()
        for i, client in enumerate(held):
            expect("held client %d afterwards" % i, query(client, b"*OPC?"), b"1\n")
    finally:
        close_all(held)


server, port = start_server()
passed = failed = 0
try:
    for case in (eight_stalled_clients, quick_reconnects, the_excess_connection):
        name = case.__name__.replace("_", " ")
        try:
            case()
            passed += 1
            print("ok     " + name, flush=True)
        except (Failed, OSError) as e:
            failed += 1
            print("FAILED %s: %s" % (name, e), flush=True)
finally:
    server.send_signal(signal.SIGTERM)
    status = server.wait(60)
    if status != 0:
        failed += 1
        print("FAILED qdctl serve ended by SIGTERM with status %d" % status)
        with open(os.path.join(work, "serve.log")) as messages:
            sys.stdout.write(messages.read()[-4000:])
    shutil.rmtree(work, ignore_errors=True)
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
