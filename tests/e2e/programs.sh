#!/usr/bin/env bash
# End to end: both installed programs on the simulated board, driven like a
# user would: choose QD1200, OK, type 800, Enter, Read Voltage, File > Exit.
# Usage: programs.sh INSTALL_PREFIX
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

prefix=$1
work=$(mktemp -d)
trap 'kill_programs; stop_display; rm -rf "$work"' EXIT
start_display

# The programs draw on that display, whatever platform the calling shell
# has chosen for Qt (offscreen would hide every window from xdotool).
export QT_QPA_PLATFORM=xcb QD_BOARD=sim
unset QD_BOARD_MODEL

# Starts a program (by its path) on a board of its own (trace in
# $work/NAME.trace), chooses QD1200 and presses OK. The program's process id
# goes to PID.
start_with_qd1200() {
    local program=$1 name=$2
    export QD_BOARD_STATE="$work/$name.state" QD_BOARD_TRACE="$work/$name.trace"
    export QD_RESULTS="$work/results.sqlite"
    "$program" 2>"$work/$name.err" &
    PID=$!
    PROGRAMS+=("$PID")
    PROGRAM_LOGS="$work/$name.err"
    find_window "^Device Selection$"
    click_at "$WINDOW" 70 48   # QD1200
    click_at "$WINDOW" 96 136  # OK
}

# Runs one session of a program: 800, Enter, Read Voltage, File > Exit.
session() {
    local program=$1 name=$2
    start_with_qd1200 "$prefix/bin/$program" "$name"
    local pid=$PID

    local main menubar
    find_window "Evaluation Software$"
    main=$WINDOW
    # The client area is 270 pixels high; the menu bar sits above it.
    menubar=$(( $(xwininfo -id "$main" | awk '/Height:/ {print $2}') - 270 ))
    click_at "$main" 268 $((52 + menubar))     # into the data-word box
    xdotool key ctrl+a
    xdotool type --delay 30 800
    xdotool key Return
    sleep 0.3
    click_at "$main" 288 $((212 + menubar))    # Read Voltage
    click_at "$main" 15 $((menubar / 2))       # File
    xdotool key x                              # Exit
    wait_exit "$pid"
    [ "$STATUS" = 0 ] || fail "$program ended with status $STATUS: $(cat "$work/$name.err")"

    grep -q "^download path=$prefix/.*/QD1600.hex result=ok$" "$work/$name.trace" ||
        fail "$program: no download in the trace"
    grep -q "^request code=221 value=8192 index=4096 direction=0 length=0 data= result=ok$" \
        "$work/$name.trace" || fail "$program: no write of 800 in the trace"
    grep -q "^request code=218 value=0 index=0 direction=1 length=2 data=1000 result=ok$" \
        "$work/$name.trace" || fail "$program: no read of 2048 in the trace"
    echo "ok: $program"
}

# A download that fails: the message shows, OK ends the program, non-zero.
failed_download() {
    local program=$1 name=$2
    QD_BOARD_FAULT=download-fails start_with_qd1200 "$prefix/bin/$program" "$name"
    local pid=$PID
    local box
    find_window "^QD1200_1400_1600_1610$"
    box=$WINDOW
    xdotool search --onlyvisible --name "Evaluation Software$" >/dev/null &&
        fail "$program: the main window appeared after a failed download"
    xdotool mousemove --window "$box" 10 10
    xdotool key Return
    wait_exit "$pid"
    [ "$STATUS" != 0 ] || fail "$program: a failed download ended with status 0"
    grep -q "request" "$work/$name.trace" && fail "$program: requests after a failed download"
    echo "ok: $program, failed download"
}

# A copy of the installed folder under a name that is not valid UTF-8
# (Latin-1 byte E4): the program finds the firmware beside it by the folder's
# real bytes and opens its main window.
latin1_folder() {
    local program=$1 name=$2
    local dir="$work/Messung_"$'\xe4'"_$name" main menubar
    mkdir "$dir"
    dir=$(cd "$dir" && pwd -P) # as the program sees its own folder
    cp -a "$(dirname "$(readlink -f "$prefix/bin/$program")")/." "$dir/"
    start_with_qd1200 "$dir/$program" "$name"
    local pid=$PID
    find_window "Evaluation Software$"
    main=$WINDOW
    LC_ALL=C grep -qF "download path=$dir/QD1600.hex result=ok" "$work/$name.trace" ||
        fail "$program in a Latin-1 folder: $(LC_ALL=C grep download "$work/$name.trace")"
    menubar=$(( $(xwininfo -id "$main" | awk '/Height:/ {print $2}') - 270 ))
    click_at "$main" 15 $((menubar / 2))       # File
    xdotool key x                              # Exit
    wait_exit "$pid"
    [ "$STATUS" = 0 ] || fail "$program in a Latin-1 folder ended with status $STATUS"
    echo "ok: $program, Latin-1 folder"
}

session "QD1600" v1
session "QD1600(version2)" v2
failed_download "QD1600(version2)" v2fail
failed_download "QD1600" v1fail
latin1_folder "QD1600" v1latin1
latin1_folder "QD1600(version2)" v2latin1
