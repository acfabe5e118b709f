#!/usr/bin/env bash
# The bench window's screenshots, from the installed program in ./stage on
# the simulated board, driven by keys under the display lib.sh started:
# a characterization to its verdict, then each view.
#   scripts/bench-screenshots.sh OUT
# Sourced in a subshell by scripts/screenshots.sh, which builds, installs and
# starts Xvfb.
set -euo pipefail
out=$1
work=$(mktemp -d)
trap 'kill_programs; rm -rf "$work"' EXIT
export QD_BOARD=sim QD_BOARD_COUNT=4 QD_BOARD_MODEL="lot:seed=7" QD_BOARD_STATE="$work/board.state" \
    QD_RESULTS="$work/results.sqlite" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb
# Three units measured from the command line first, for the History and
# Datasheet views; the window then measures the fourth board.
for board in 2 3 4; do
    stage/bin/qdctl --board $board characterize --device QD1600 --codes 100 --samples 1 \
        --settle 0 --serial "LOT7-0$board" --operator "A. Tester" >/dev/null 2>&1 ||
        fail "qdctl characterize on board $board"
done
stage/bin/QD1600Bench &
pid=$!
PROGRAMS+=("$pid")
find_window "^QD1600 Bench$"
bench=$WINDOW

# Ended runs in the store: what the window shows once its run is over.
ended() {
    sqlite3 "file:$QD_RESULTS?mode=ro" \
        "SELECT count(*) FROM runs WHERE kind = 'characterize' AND exit_status IS NOT NULL" \
        2>/dev/null || echo 0
}

click_at "$bench" 550 20 # the tab bar: keys go to the window
xdotool key alt+s        # Start, with the plan the form opens with
for _ in $(seq 1200); do
    [ "$(ended)" -ge 1 ] && break
    sleep 0.1
done
[ "$(ended)" -ge 1 ] || fail "the characterization did not end"
sleep 1 # its verdict and plots painted
import -window "$bench" "$out/bench-characterize.png"

xdotool key ctrl+2
sleep 0.5
import -window "$bench" "$out/bench-station.png"

xdotool key ctrl+3 alt+r # History: Refresh, then open the newest run
sleep 1
click_at "$bench" 60 292
xdotool key alt+o
sleep 1
import -window "$bench" "$out/bench-history.png"

# Datasheet: the lot of every QD1600 run, then Show.
xdotool key ctrl+4 alt+l Down Return alt+h
sleep 2
import -window "$bench" "$out/bench-datasheet.png"
