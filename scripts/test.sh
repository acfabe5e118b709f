#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test under each preset
# (default, then clang-tidy over its sources; AddressSanitizer +
# UndefinedBehaviorSanitizer; the libFuzzer targets, each for a bounded
# time), and last makes the Debian package and checks it. Arguments name the
# presets to run, "tidy" and "package" among them; none runs all.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
# A failure names its stage and the command.
trap '[ "$BASH_SUBSHELL" = 0 ] && echo "test.sh: stage \"${preset:-Debian packages}\" failed at line $LINENO: $BASH_COMMAND" >&2' ERR
scripts/deps.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default tidy asan fuzz package)

for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    SECONDS=0
    if [ "$preset" = tidy ]; then
        # The default build's sources, through .clang-tidy's checks.
        scripts/tidy.sh build/default
    elif [ "$preset" = package ]; then
        # One package in the folder, the one made now.
        rm -f build/package/qd1600_*.deb
        cmake --workflow --preset package
        packaging/check-package.sh build/package/qd1600_*.deb "$PWD" "$PWD/build/package"
    else
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j2
        ctest --preset "$preset" -j2
    fi
    echo "=== $preset: $SECONDS s"
done
