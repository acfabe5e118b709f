#!/usr/bin/env python3
"""clang-tidy's verdict on a source, remembered by what clang-tidy would read.

A source's key is the hash of clang-tidy's version, every .clang-tidy of the
checkout, its compile command and its preprocessed text (every header it
includes, ours and the system's). A key is stored only after clang-tidy found
nothing in that source, so a cached source is one that would pass again.

  tidy-cache.py pending CACHE BUILD ROOT REGEX   prints the sources to check
  tidy-cache.py passed  CACHE BUILD ROOT FILE... stores the keys of those
"""
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys


def tidy_config(root):
    digest = hashlib.sha256()
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True, text=True, check=True)
    digest.update(version.stdout.encode())
    for folder, dirs, files in sorted(os.walk(root)):
        dirs[:] = sorted(d for d in dirs if d not in ("build", ".git", "stage"))
        if ".clang-tidy" in files:
            path = os.path.join(folder, ".clang-tidy")
            digest.update(os.path.relpath(path, root).encode())
            with open(path, "rb") as f:
                digest.update(f.read())
    return digest.hexdigest()


def preprocessed(entry):
    """The command's own compiler, asked for its preprocessed output."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out, skip = [], False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg == "-c":
            continue
        out.append(arg)
    run = subprocess.run(out + ["-E", "-o", "-"], cwd=entry["directory"], capture_output=True)
    if run.returncode != 0:
        return None
    return run.stdout


def key_of(config, entry):
    text = preprocessed(entry)
    if text is None:
        return None
    digest = hashlib.sha256(config.encode())
    digest.update(entry.get("command", " ".join(entry.get("arguments", []))).encode())
    digest.update(text)
    return digest.hexdigest()


def main():
    action, cache, build, root = sys.argv[1:5]
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    if action == "pending":
        wanted = re.compile(sys.argv[5])
        entries = [e for e in entries if wanted.search(e["file"])]
    else:
        names = set(os.path.realpath(p) for p in sys.argv[5:])
        entries = [e for e in entries if os.path.realpath(e["file"]) in names]
    config = tidy_config(root)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        keys = list(pool.map(lambda e: key_of(config, e), entries))
    os.makedirs(cache, exist_ok=True)
    pending = []
    for entry, key in zip(entries, keys):
        stamp = os.path.join(cache, key) if key else None
        if action == "pending":
            if (not stamp or not os.path.exists(stamp)) and entry["file"] not in pending:
                pending.append(entry["file"])
        elif stamp:
            with open(stamp, "w"):
                pass
    for name in pending:
        print(name)


if __name__ == "__main__":
    main()
