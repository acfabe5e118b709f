#!/usr/bin/env bash
# Takes the README's screenshots of the three windows from the current code,
# the bench window's and the datasheet's pages:
# builds, installs into ./stage, runs QD1600 on the simulated board under
# Xvfb and drives it with real input events.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
command -v import >/dev/null || {
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get install -y -qq imagemagick >/dev/null
}
cmake --preset default >/dev/null
cmake --build --preset default -j2
cmake --install build/default >/dev/null

. tests/e2e/lib.sh
out=docs/screenshots
mkdir -p "$out"
work=$(mktemp -d)
trap 'kill_programs; stop_display; rm -rf "$work"' EXIT
start_display

# On that display, whatever platform the calling shell has chosen for Qt.
export QT_QPA_PLATFORM=xcb QD_BOARD=sim QD_BOARD_STATE="$work/state"
stage/bin/QD1600 &
pid=$!
PROGRAMS+=("$pid")

find_window "^Device Selection$"
device=$WINDOW
import -window "$device" "$out/device-selection.png"
click_at "$device" 70 48
click_at "$device" 96 136

find_window "Evaluation Software$"
main=$WINDOW
menubar=$(( $(xwininfo -id "$main" | awk '/Height:/ {print $2}') - 270 ))
click_at "$main" 268 $((52 + menubar))
xdotool key ctrl+a
xdotool type --delay 30 800
xdotool key Return
click_at "$main" 288 $((212 + menubar))
import -window "$main" "$out/main-window.png"

click_at "$main" 45 $((menubar / 2))  # Help
xdotool key a                         # About
find_window "^About QD1600 Evaluation Software$"
about=$WINDOW
sleep 0.3
import -window "$about" "$out/about.png"
xdotool key Escape
sleep 0.3
click_at "$main" 15 $((menubar / 2))
xdotool key x
wait "$pid"

(. scripts/bench-screenshots.sh "$out")

# The datasheet's pages need no display: a lot of 8 measured by a station.
command -v pdftoppm >/dev/null || {
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get install -y -qq poppler-utils >/dev/null
}
/usr/bin/python3 scripts/datasheet-screenshots.py stage/bin/qdctl "$out"
/usr/bin/python3 scripts/report-screenshots.py stage/bin/qdctl "$out"
echo "screenshots in $out"
