#!/usr/bin/python3
"""qdctl starts light: each library that only one of its modules needs is
loaded by that module, never by qdctl itself, whose every start would pay
the dynamic loader for it (libpq alone brings some twenty: Kerberos, LDAP,
TLS, SASL). Each module is checked to load its library, so that a renamed
library cannot make the check pass by finding nothing.

Usage: libraries.py BIN_DIR
"""
import os
import subprocess
import sys

# module: a library it loads and qdctl must not
MODULES = {
    "libqdctl-postgres.so": "libpq.so",
    "libqdctl-report.so": "libQt6Gui.so",
    "libqdctl-serve.so": "libQt6Network.so",
}


def loaded(path):
    """The names of the shared libraries `path` loads, directly or not."""
    out = subprocess.run(["ldd", path], check=True, capture_output=True, text=True).stdout
    return [line.split()[0] for line in out.splitlines() if "=>" in line]


def main():
    bindir = sys.argv[1]
    qdctl = loaded(os.path.join(bindir, "qdctl"))
    failures = []
    for module, library in MODULES.items():
        if not any(name.startswith(library) for name in loaded(os.path.join(bindir, module))):
            failures.append("%s does not load %s: the check below proves nothing" % (module, library))
        if any(name.startswith(library) for name in qdctl):
            failures.append("qdctl loads %s at every start; only %s needs it" % (library, module))
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
