#!/usr/bin/python3
"""The layers as each folder's README states them: its line beginning
"May depend on:" names, in its first sentence, the folders (`name/`) whose
headers the folder's sources may include; "everything" or "anything" there
allows every folder but, outside tests/, those whose README says "Nothing
depends on it." (the programs' tops: qdctl/, bench/). Each `#include "folder/..."` of another of the
project's folders must be allowed, and the includes must point one way: a
cycle between folders is refused even where every README allows it.

A README line is easily left behind by a change, hence this check; and a
check that finds nothing passes, hence --self-test, which runs it on small
made-up trees that must fail as they should.

Usage: layers.py SOURCE_DIR | layers.py --self-test
"""
import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*["<]([A-Za-z0-9_]+)/')
FOLDER = re.compile(r"`([A-Za-z0-9_]+)/`")
SOURCES = (".cpp", ".h")


def rule_of(readme):
    """The first sentence of the README's "May depend on:" paragraph, or None."""
    with open(readme, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for i, line in enumerate(lines):
        if line.startswith("May depend on:"):
            paragraph = []
            for following in lines[i:]:
                if not following.strip():
                    break
                paragraph.append(following.strip())
            text = " ".join(paragraph)
            return re.split(r"\.(?:\s|$)", text, maxsplit=1)[0]
    return None


def is_top(readme):
    """Whether the README says that no folder may depend on its own."""
    with open(readme, encoding="utf-8") as f:
        return "Nothing depends on it." in " ".join(f.read().split())


def sources(folder):
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(SOURCES):
                yield os.path.join(top, name)


def has_sources(folder):
    return next(sources(folder), None) is not None


def check(root):
    """Every rule broken under `root`, as lines to print."""
    folders = sorted(d for d in os.listdir(root)
                     if os.path.isfile(os.path.join(root, d, "README.md"))
                     or os.path.isfile(os.path.join(root, d, "CMakeLists.txt")))
    errors = []
    allowed = {}
    tops = {d for d in folders if os.path.isfile(os.path.join(root, d, "README.md"))
            and is_top(os.path.join(root, d, "README.md"))}
    for folder in folders:
        readme = os.path.join(folder, "README.md")
        has_readme = os.path.isfile(os.path.join(root, readme))
        rule = rule_of(os.path.join(root, readme)) if has_readme else None
        if rule is None:
            if has_sources(os.path.join(root, folder)):
                errors.append(f'{readme}: no line beginning "May depend on:" '
                              f"for the sources of {folder}/")
            continue
        named = set(FOLDER.findall(rule))
        for name in sorted(named - set(folders)):
            errors.append(f"{readme}: names {name}/, which is no folder of the project")
        every = re.search(r"\b(everything|anything)\b", rule, re.I)
        hidden = set() if folder == "tests" else tops - {folder}
        allowed[folder] = set(folders) - hidden if every else named

    edges = {}  # (from, to): where it is first included
    for folder in folders:
        for path in sources(os.path.join(root, folder)):
            where = os.path.relpath(path, root)
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    target = match[1] if match else None
                    if target not in folders or target == folder or folder not in allowed:
                        continue
                    edges.setdefault((folder, target), f"{where}:{number}")
                    if target not in allowed[folder]:
                        others = sorted(f"{a}/" for a in allowed[folder] - {folder})
                        errors.append(f"{where}:{number}: includes {target}/, but "
                                      f"{folder}/README.md allows {folder}/ to depend on "
                                      f"{', '.join(others) or 'no other folder'}")
    errors.extend(cycles(edges))
    return errors


def cycles(edges):
    """Each cycle among the folders' includes, once, with an include of each step."""
    graph = {}
    for a, b in edges:
        graph.setdefault(a, []).append(b)
    found, seen = [], set()

    def walk(node, path):
        for nxt in sorted(graph.get(node, [])):
            if nxt in path:
                loop = path[path.index(nxt):] + [nxt]
                key = frozenset(loop)
                if key not in seen:
                    seen.add(key)
                    steps = "; ".join(f"{a}/ -> {b}/ at {edges[(a, b)]}"
                                      for a, b in zip(loop, loop[1:]))
                    found.append(f"cycle {' -> '.join(f'{n}/' for n in loop)}: {steps}")
            elif len(path) < len(graph) + 1:
                walk(nxt, path + [nxt])

    for start in sorted(graph):
        walk(start, [start])
    return found


def self_test():
    """Made-up trees: each must give exactly the failures it is built for."""
    cases = [
        ("an allowed include", {"a/README.md": "May depend on: `b/`.", "a/x.cpp": '#include "b/y.h"',
                                "b/README.md": "May depend on: nothing.", "b/y.h": ""}, []),
        ("one not allowed", {"a/README.md": "May depend on: `b/`.", "a/x.cpp": '\n#include "c/y.h"',
                             "b/README.md": "May depend on: nothing.", "c/README.md": "May depend on: x.",
                             "c/y.h": ""}, ["a/x.cpp:2: includes c/"]),
        ("a second sentence", {"a/README.md": "May depend on: nothing. Used by `b/`.",
                               "a/x.h": '#include "b/y.h"', "b/README.md": "May depend on: `a/`.",
                               "b/y.h": '#include "a/x.h"'}, ["a/x.h:1: includes b/", "cycle a/ -> b/ -> a/"]),
        ("a cycle both allow", {"a/README.md": "May depend on: everything below it.", "a/x.h": '#include "b/y.h"',
                                "b/README.md": "May depend on: `c/`.", "b/y.h": '#include "c/z.h"',
                                "c/README.md": "May depend on: `a/`.", "c/z.h": ' # include <a/x.h>'},
         ["cycle a/ -> b/ -> c/ -> a/"]),
        ("a top under everything", {"a/README.md": "May depend on: everything below it.",
                                    "a/x.h": '#include "b/y.h"',
                                    "b/README.md": "May depend on: nothing. Nothing depends on it.",
                                    "b/y.h": ""}, ["a/x.h:1: includes b/"]),
        ("no rule", {"a/README.md": "Holds things.", "a/x.cpp": "", "a/CMakeLists.txt": ""},
         ['a/README.md: no line beginning "May depend on:"']),
        ("a folder that is not", {"a/README.md": "May depend on: `nowhere/`.", "a/x.cpp": ""},
         ["a/README.md: names nowhere/"]),
    ]
    failed = 0
    for name, files, expected in cases:
        with tempfile.TemporaryDirectory() as root:
            for path, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                    f.write(text + "\n")
            errors = check(root)
        if len(errors) != len(expected) or not all(e.startswith(x) for e, x in zip(errors, expected)):
            print(f"self-test {name}: expected {expected}, got {errors}")
            failed += 1
    return 1 if failed else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    errors = check(sys.argv[1])
    for error in errors:
        print(error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
