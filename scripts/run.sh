#!/usr/bin/env bash
# Installs what is missing, builds, and drives the simulated board once
# through both link libraries (a smoke run of the board commands).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2
build/default/bin/link_bench --benchmark_min_time=0.05
