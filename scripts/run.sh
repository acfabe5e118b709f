#!/usr/bin/env bash
# Installs what is missing, builds, installs into ./stage and starts QD1600 on
# the simulated board. Pass "2" to start QD1600(version2) instead, "bench"
# for the bench window QD1600Bench; further arguments are ignored.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2
cmake --install build/default >/dev/null

program="QD1600"
case "${1:-1}" in
2) program="QD1600(version2)" ;;
bench) program="QD1600Bench" ;;
esac
export QD_BOARD=sim
exec "stage/bin/$program"
