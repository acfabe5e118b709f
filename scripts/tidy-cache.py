#!/usr/bin/env python3
"""clang-tidy's verdict on a source, remembered by what clang-tidy would read.

A source's key is the hash of clang-tidy's version, every .clang-tidy of the
checkout, its compile command and its preprocessed text (every header it
includes, ours and the system's). A key is stored only after clang-tidy found
nothing in that source, so a cached source is one that would pass again.

  tidy-cache.py pending CACHE BUILD ROOT REGEX KEYS  prints the sources to
      check, and writes their keys to the file KEYS
  tidy-cache.py passed CACHE KEYS                   stores those keys

The keys are those of the sources as they were when listed, so that a
source edited while clang-tidy ran is not taken for the one it checked.
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
    action, cache = sys.argv[1:3]
    if action == "passed":
        with open(sys.argv[3]) as f:
            for key in f.read().split():
                with open(os.path.join(cache, key), "w"):
                    pass
        return
    build, root, wanted, keys_file = sys.argv[3:7]
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if re.search(wanted, e["file"])]
    config = tidy_config(root)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        keys = list(pool.map(lambda e: key_of(config, e), entries))
    os.makedirs(cache, exist_ok=True)
    pending, new_keys = [], []
    for entry, key in zip(entries, keys):
        if key and os.path.exists(os.path.join(cache, key)):
            continue
        if entry["file"] not in pending:
            pending.append(entry["file"])
        if key:
            new_keys.append(key)
    with open(keys_file, "w") as f:
        f.write("\n".join(new_keys) + "\n")
    for name in pending:
        print(name)


if __name__ == "__main__":
    main()
