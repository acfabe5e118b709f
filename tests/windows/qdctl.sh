#!/usr/bin/env bash
# qdctl.exe under Wine, from a Windows program folder, on the simulated
# board over both links: program, read, verify, sweep, and the exit status
# of each cause, the same on both links.
# Usage: qdctl.sh FOLDER   (in the Wine prefix of $WINEPREFIX)
set -uo pipefail
folder=$(realpath "$1")
: "${WINEPREFIX:?a Wine prefix}"
export WINEDEBUG=-all QD_BOARD=sim
unset QD_BOARD_FAULT QD_BOARD_TRACE QD_BOARD_VREF QD_BOARD_MODEL

work=$(mktemp -d /var/tmp/qd1600-qdctl.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# A board by its name: a state file in a folder of the test's, as Windows
# names it.
state_of() {
    printf 'Z:%s' "${work//\//\\}\\$1.state"
}

# run BOARD CASE STATUS TEXT -- ARGS...: runs qdctl.exe with ARGS (and the
# environment of the caller) on the board BOARD; its exit status must be
# STATUS, and TEXT must be in what it printed (standard output, then error).
run() {
    local board=$1 name=$2 status=$3 text=$4
    shift 5
    local out
    out=$(QD_BOARD_STATE=$(state_of "$board") wine "$folder/qdctl.exe" "$@" 2>&1)
    local got=$?
    out=${out//$'\r'/}
    if [ "$got" != "$status" ]; then
        fail "$name: qdctl $* ended with $got, not $status: $out"
    elif [[ "$out" != *"$text"* ]]; then
        fail "$name: qdctl $* did not say \"$text\": $out"
    else
        echo "ok: $name: qdctl $* -> $status"
    fi
}

# The link-2 library is bound at its fixed path only.
link2_folder="$WINEPREFIX/drive_c/Program Files/Quensor/USB Drivers"
rm -rf "$link2_folder"
run nolink "link 2 without its library" 7 \
    "Cannot load the link library c:/Program Files/Quensor/USB Drivers/QNS_CYUSB_USB4.dll" \
    -- --link 2 program --device QD1200 800
mkdir -p "$link2_folder"
cp "$folder/QNS_CYUSB_USB4.dll" "$link2_folder/"

for link in 1 2; do
    board=link$link
    run $board "$board: program" 0 "code 0800 -> frame 2000 (16 bits, index 1000), firmware loaded" \
        -- --link $link program --device QD1200 800
    run $board "$board: read" 0 "2048 counts = 2.465 V" -- --link $link read
    run $board "$board: verify" 0 "PASS" -- --link $link verify --device QD1400 2000
    run $board "$board: sweep" 0 "00FF,03FC," -- --link $link sweep --device QD1200 --from 0 --to FF --csv -
    QD_BOARD_VREF=4.5 run $board "$board: verify off the reference" 1 "FAIL" \
        -- --link $link verify --device QD1600 8000
    run $board "$board: bad arguments" 2 "did you mean program?" -- --link $link prog
    run $board "$board: bad code" 3 "range 0 to 0FFF" -- --link $link program --device QD1200 1000
    QD_BOARD=SIM run $board-sim "$board: the board asked for in capitals" 4 "QD_BOARD: \"SIM\" refused" \
        -- --link $link program --device QD1200 800
    QD_BOARD_FAULT=download-fails run $board-fault "$board: download fails" 5 "" \
        -- --link $link program --device QD1200 800
    run $board-new "$board: request before any firmware" 6 \
        "the board runs no firmware: program a code first, or pass --download" \
        -- --link $link read
    run $board "$board: json" 0 '"counts":2048' -- --link $link --json read
    QD_BOARD= run $board-usb "$board: no board on USB" 4 "qd1600-winusb.inf" \
        -- --link $link program --device QD1200 800
done
# The same board through both links: what one programmed, the other reads.
run shared "link 1 programs" 0 "" -- program --device QD1600 4000
run shared "link 2 reads it back" 0 "1024 counts = 1.232 V" \
    -- --link 2 read
# Every run above was recorded in the default store, in the user's
# %LOCALAPPDATA%\QD1600 as Windows names it.
run shared "the runs are kept" 0 '"kind":"program"' -- --json runs list --kind program --limit 1
stores=("$WINEPREFIX"/drive_c/users/*/AppData/Local/QD1600/results.sqlite)
if [ -s "${stores[0]}" ]; then
    echo "ok: runs recorded in ${stores[0]#"$WINEPREFIX/"}"
else
    fail "no results.sqlite under %LOCALAPPDATA%\\QD1600 in $WINEPREFIX"
fi

# A board that a server holds is busy for everyone else.
QD_BOARD_STATE=$(state_of served) wine "$folder/qdctl.exe" serve --listen 127.0.0.1:0 \
    >"$work/serve.out" 2>&1 &
server=$!
for _ in $(seq 300); do
    grep -q "127.0.0.1:" "$work/serve.out" 2>/dev/null && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
if grep -q "127.0.0.1:" "$work/serve.out"; then
    for link in 1 2; do
        run served "link $link: board held by a server" 9 "held by process" \
            -- --link $link program --device QD1200 800
    done
else
    fail "qdctl serve did not start: $(cat "$work/serve.out")"
fi
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null

# A reader that leaves: the write fails with its own status.
out=$(QD_BOARD_STATE=$(state_of pipe) wine "$folder/qdctl.exe" sweep --device QD1600 --from 0 \
    --to FFFF --step 10 --csv - 2>"$work/pipe.err" | head -c 100)
status=${PIPESTATUS[0]}
if [ "$status" = 8 ] && grep -q "cannot write standard output" "$work/pipe.err"; then
    echo "ok: a reader that leaves: status 8"
else
    fail "a reader that leaves: status $status: $(cat "$work/pipe.err")"
fi

# Every picture comes from the one renderer, with Qt Gui alone: a sweep's
# plot in each format it draws, as file(1) knows the format.
for format in "png:PNG image" "svg:SVG Scalable Vector Graphics" "pdf:PDF document"; do
    extension=${format%%:*}
    kind=${format#*:}
    run plot "a sweep's plot as $extension" 0 "points" \
        -- sweep --device QD1200 --from 0 --to FFF --step 10 --csv 'C:\plot.csv' --plot "C:\\plot.$extension"
    [[ "$(file -b "$WINEPREFIX/drive_c/plot.$extension")" == "$kind"* ]] ||
        fail "the sweep's $extension plot is no $kind: $(file -b "$WINEPREFIX/drive_c/plot.$extension")"
done
QD_METER_TIME_SCALE=0 run characterized "characterize, with its report" 0 "PASS" \
    -- characterize --device QD1200 --codes fast --report 'C:\report.html'
[ -s "$WINEPREFIX/drive_c/report.html" ] || fail "characterize wrote no report"

# A station of two simulated boards, each with its own simulated meter: the
# slots are qdctl.exe processes of their own, started by the station.
meters=()
for board in 1 2; do
    QD_BOARD_COUNT=2 QD_BOARD_STATE=$(state_of station) QD_METER_TIME_SCALE=0 \
        wine "$folder/qdctl.exe" --board $board sim-meter -q --listen 127.0.0.1:0 \
        >"$work/meter$board.out" 2>&1 &
    meters+=($!)
done
resources=()
for board in 1 2; do
    for _ in $(seq 300); do
        grep -q "listening on" "$work/meter$board.out" 2>/dev/null && break
        sleep 0.1
    done
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/meter$board.out" | tr -d '\r')
    resources+=("TCPIP::127.0.0.1::$port::SOCKET")
done
printf '# two slots\r\nSIM0001 %s W1\r\nSIM0002 %s W2\r\n' "${resources[@]}" \
    >"$WINEPREFIX/drive_c/station.txt"
QD_BOARD_COUNT=2 QD_METER_TIME_SCALE=0 run station "a station of two boards" 0 \
    "2 slots, 2 passed" -- characterize --device QD1200 --codes 10 --station 'C:\station.txt' \
    --out 'C:\lot'
for unit in W1 W2; do
    [ -s "$WINEPREFIX/drive_c/lot/$unit.csv" ] || fail "the station wrote no $unit.csv"
done
kill "${meters[@]}" 2>/dev/null
wait "${meters[@]}" 2>/dev/null

[ "$failures" = 0 ] || {
    echo "qdctl.sh: $failures failures" >&2
    exit 1
}
echo "qdctl.sh: all passed"
