#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test under each preset
# (default; AddressSanitizer + UndefinedBehaviorSanitizer; the libFuzzer targets,
# each for a bounded time).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan fuzz)

for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
    ctest --preset "$preset" -j2
done
