#!/usr/bin/env bash
# clang-tidy's checks of .clang-tidy over every source of ours that a build
# compiled, from its compile_commands.json; any finding fails.
# Usage: scripts/tidy.sh [BUILD_DIR]   (default build/default)
set -Eeuo pipefail
cd "$(dirname "$0")/.."
trap '[ "$BASH_SUBSHELL" = 0 ] && echo "tidy.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=${1:-build/default}
[ -f "$build/compile_commands.json" ] || {
    echo "tidy.sh: no $build/compile_commands.json; build that preset first" >&2
    exit 1
}
folders=$(ls -d */ | tr -d / | grep -vxE 'build|stage|docs|packaging|cmake|scripts' | paste -sd'|')
sources="^$PWD/($folders)/"
# With QD_TIDY_CACHE (CI sets it), a source whose preprocessed text, command
# and checks are those of an earlier pass is not checked again.
pending=()
if [ -n "${QD_TIDY_CACHE:-}" ]; then
    scripts/tidy-cache.py pending "$QD_TIDY_CACHE" "$build" "$PWD" "$sources" "$build/tidy.keys" \
        >"$build/tidy.pending"
    mapfile -t pending <"$build/tidy.pending"
    if [ ${#pending[@]} = 0 ]; then
        echo "tidy.sh: every source as when it last passed ($QD_TIDY_CACHE), no findings"
        exit 0
    fi
    sources=$(python3 -c 'import re, sys; print("^(" + "|".join(map(re.escape, sys.argv[1:])) + ")$")' "${pending[@]}")
fi
run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$sources" >"$build/tidy.log" 2>&1 || {
    grep -E '(warning|error):' "$build/tidy.log" | sort -u >&2
    echo "tidy.sh: clang-tidy found the above; the whole log is $build/tidy.log" >&2
    exit 1
}
[ ${#pending[@]} = 0 ] || scripts/tidy-cache.py passed "$QD_TIDY_CACHE" "$build/tidy.keys"
echo "tidy.sh: $(grep -c '^clang-tidy' "$build/tidy.log") sources, no findings"
