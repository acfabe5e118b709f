#!/usr/bin/env bash
# The Windows installer under Wine, each case in a new 32-bit prefix, the
# windowed programs under Xvfb driven by keys (there is no window manager):
#   - a silent install into C:\Program Files\QD1600: the files, the Start
#     menu, the uninstall entry and our library at the maker's fixed path;
#     both programs show Device Selection and program 800 on the simulated
#     board; QD1600Bench.exe characterizes it, recorded in its store; a
#     silent uninstall removes all of it, but a library of the
#     maker's that replaced ours;
#   - with the maker's library already at the fixed path, installed with
#     /D=C:\Tools\Board: the maker's library is left alone, also by the
#     uninstaller, and the library receives the firmware path in the ANSI
#     code page: "C:\Tools\Board\QD1600.hex", "u" with diaeresis as byte FC,
#     and a character outside the code page ends with run-time error 6;
#     qdctl.exe hands over the same bytes, and refuses the character.
# Usage: installer.sh SETUP.EXE
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../e2e/lib.sh"

setup=$(realpath "$1")
work=$(mktemp -d /var/tmp/qd1600-installer.XXXXXX)
PREFIXES=()
cleanup() {
    local prefix
    kill_programs
    for prefix in "${PREFIXES[@]}"; do
        WINEPREFIX=$prefix wineserver -k 2>/dev/null
    done
    stop_display
    rm -rf "$work"
}
trap cleanup EXIT
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's ANSI code page follows the locale: 1252, as on a Western Windows.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export QD_BOARD=sim

new_prefix() {
    export WINEPREFIX=$work/$1
    PREFIXES+=("$WINEPREFIX")
    wineboot -i >/dev/null 2>&1 || fail "wineboot in $WINEPREFIX"
    DRIVE_C=$WINEPREFIX/drive_c
}

# A Unix path as the programs see it under Wine.
windows_path() {
    printf 'Z:%s' "${1//\//\\}"
}

install_silently() {
    wine "$setup" /S "$@" >"$work/setup.log" 2>&1
    local status=$?
    [ "$status" = 0 ] || fail "setup /S $*: status $status: $(cat "$work/setup.log")"
}

# The uninstaller runs from a copy of itself, so that it can remove itself:
# it is done when the prefix's last process is.
uninstall_silently() {
    local folder=$1
    wine "$folder\\Uninstall.exe" /S >/dev/null 2>&1
    local status=$?
    [ "$status" = 0 ] || fail "uninstall: status $status"
    wineserver -w
}

# Starts an installed program ($1, a Windows path) on the simulated board,
# traced into $work/$2.trace, chooses QD1200 in Device Selection and presses
# OK. Its process id goes to PID.
start_with_qd1200() {
    local program=$1 name=$2
    rm -f "$work/$name.trace"
    QD_BOARD_TRACE=$(windows_path "$work/$name.trace") wine "$program" >"$work/$name.err" 2>&1 &
    PID=$!
    PROGRAMS+=("$PID")
    PROGRAM_LOGS="$work/$name.err"
    find_window "^Device Selection$"
    # Focus starts on QD1610, the last device: up to QD1200, choose it, then
    # on to OK.
    xdotool windowfocus --sync "$WINDOW"
    xdotool key --window "$WINDOW" --delay 100 Up Up Up space Tab space
}

# Waits up to 10 s for a line in a trace.
wait_trace() {
    local trace=$1 line=$2
    for _ in $(seq 100); do
        grep -qaF -- "$line" "$trace" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no \"$line\" in $trace: $(cat "$trace" 2>/dev/null)"
}

# One session: QD1200, OK, 800 typed into the data-word box and Enter, then
# File > Exit (the menu is a window of its own, with the program's title).
program_800() {
    local program=$1 name=$2
    start_with_qd1200 "$program" "$name"
    local pid=$PID
    find_window "Evaluation Software$"
    local main=$WINDOW
    xdotool windowfocus --sync "$main"
    # "Normal Operation" has the focus; the data-word box comes next.
    xdotool key --window "$main" --delay 100 Tab ctrl+a 8 0 0 Return
    wait_trace "$work/$name.trace" "request code=221 value=8192 index=4096 direction=0 length=0"
    # File, then Exit once its menu is up; the window may be gone before
    # the key is let go.
    xdotool key --window "$main" alt+f
    find_window "^QD1200_1400_1600_1610$"
    xdotool key --window "$WINDOW" x 2>/dev/null
    wait_exit "$pid"
    [ "$STATUS" = 0 ] || fail "$program ended with status $STATUS"
    echo "ok: $program shows Device Selection and programs 800 on the simulated board"
}

# The bench window on the simulated board: Start (Alt+S) with the plan the
# form opens with, the run recorded in a store of its own, then Quit (Ctrl+Q).
bench_characterizes() {
    local program=$1 name=$2 store=$work/$2.sqlite ended=0
    QD_RESULTS=$(windows_path "$store") QD_BOARD_STATE=$(windows_path "$work/$name.state") \
        wine "$program" >"$work/$name.err" 2>&1 &
    local pid=$!
    PROGRAMS+=("$pid")
    PROGRAM_LOGS="$work/$name.err"
    find_window "^QD1600 Bench$"
    xdotool windowfocus --sync "$WINDOW"
    xdotool key --window "$WINDOW" alt+s
    for _ in $(seq 1200); do
        ended=$(sqlite3 "file:$store?mode=ro" "SELECT count(*) FROM runs WHERE kind = \
            'characterize' AND exit_status IS NOT NULL" 2>/dev/null || echo 0)
        [ "$ended" -ge 1 ] && break
        sleep 0.1
    done
    [ "$ended" -ge 1 ] || fail "$program: no characterization ended in $store"
    # The window may be gone before the key is let go.
    xdotool key --window "$WINDOW" ctrl+q 2>/dev/null
    wait_exit "$pid"
    [ "$STATUS" = 0 ] || fail "$program ended with status $STATUS"
    echo "ok: $program characterizes the simulated board, recorded in its store"
}

start_display

# --- The default install, the programs, the uninstall.
new_prefix default
install_silently
folder="$DRIVE_C/Program Files/QD1600"
for file in QD1600.exe "QD1600(version2).exe" QD1600Bench.exe qdctl.exe USBFunctions.dll QNS_CYUSB_USB4.dll \
    QD1600.hex Qt6Core.dll Qt6Widgets.dll platforms/qwindows.dll libstdc++-6.dll \
    libgcc_s_dw2-1.dll libwinpthread-1.dll qd1600-winusb.inf Uninstall.exe; do
    [ -f "$folder/$file" ] || fail "not installed: C:\\Program Files\\QD1600\\$file"
done
ls "$folder"/styles/*.dll >/dev/null 2>&1 || fail "no style plugin installed"
link2="$DRIVE_C/Program Files/Quensor/USB Drivers/QNS_CYUSB_USB4.dll"
cmp -s "$link2" "$folder/QNS_CYUSB_USB4.dll" || fail "our library is not at the fixed path"
menu="$DRIVE_C/ProgramData/Microsoft/Windows/Start Menu/Programs/QD1600"
[ -f "$menu/QD1600.lnk" ] && [ -f "$menu/QD1600 (version 2).lnk" ] &&
    [ -f "$menu/QD1600 Bench.lnk" ] ||
    fail "no Start-menu entries in $menu: $(ls "$menu" 2>&1)"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QD1600'
wine reg query "$uninstall_key" /v UninstallString 2>/dev/null | grep -q 'Uninstall.exe' ||
    fail "no uninstall entry"
echo "ok: installed into C:\\Program Files\\QD1600, Start menu, uninstall entry, library at the fixed path"

program_800 'C:\Program Files\QD1600\QD1600.exe' qd1600
grep -qaF 'download path=C:\Program Files\QD1600\QD1600.hex result=ok' "$work/qd1600.trace" ||
    fail "QD1600: the firmware path was not C:\\Program Files\\QD1600\\QD1600.hex"
program_800 'C:\Program Files\QD1600\QD1600(version2).exe' qd1600-2
bench_characterizes 'C:\Program Files\QD1600\QD1600Bench.exe' bench

uninstall_silently 'C:\Program Files\QD1600'
[ ! -e "$folder" ] || fail "left after uninstalling: $(cd "$folder" && find .)"
[ ! -e "$link2" ] || fail "the uninstaller left our library at the fixed path"
[ ! -e "$menu" ] || fail "the uninstaller left the Start menu folder"
wine reg query "$uninstall_key" >/dev/null 2>&1 && fail "the uninstall entry is left"
echo "ok: uninstalled, our library at the fixed path with it"

# An update finds our earlier library at the fixed path, as its stamp was
# recorded, and puts the new one in its place.
install_silently
touch -r "$link2" "$work/link2.time"
head -c "$(stat -c %s "$link2")" /dev/zero >"$link2"
touch -r "$work/link2.time" "$link2"
install_silently
cmp -s "$link2" "$folder/QNS_CYUSB_USB4.dll" ||
    fail "an update left our earlier library at the fixed path"
echo "ok: an update replaces our earlier library at the fixed path"
uninstall_silently 'C:\Program Files\QD1600'

# The maker's installer puts its library where ours was: it stays.
install_silently
printf 'the maker'"'"'s library, installed later\n' >"$link2"
uninstall_silently 'C:\Program Files\QD1600'
[ "$(cat "$link2" 2>/dev/null)" = "the maker's library, installed later" ] ||
    fail "the uninstaller removed the maker's library that replaced ours"
echo "ok: the uninstaller leaves the maker's library that replaced ours"

# --- The maker's library present; another folder; paths in the code page.
new_prefix maker
link2="$DRIVE_C/Program Files/Quensor/USB Drivers/QNS_CYUSB_USB4.dll"
mkdir -p "$(dirname "$link2")"
printf 'the maker'"'"'s library\n' >"$link2"
install_silently '/D=C:\Tools\Board'
[ "$(cat "$link2")" = "the maker's library" ] || fail "the installer replaced the maker's library"
echo "ok: the maker's library at the fixed path is left alone"

# Only QD1600 binds by name: QD1600(version2) would get the maker's library.
board="$DRIVE_C/Tools/Board"
program_800 'C:\Tools\Board\QD1600.exe' board
grep -qaF 'download path=C:\Tools\Board\QD1600.hex result=ok' "$work/board.trace" ||
    fail "the library did not receive C:\\Tools\\Board\\QD1600.hex: $(cat "$work/board.trace")"
echo "ok: installed under C:\\Tools\\Board, the library receives C:\\Tools\\Board\\QD1600.hex"

cp -a "$board" "$DRIVE_C/Tools/Jürgen"
program_800 'C:\Tools\Jürgen\QD1600.exe' umlaut
grep -qa "download path=C:\\\\Tools\\\\J"$'\xfc'"rgen\\\\QD1600.hex result=ok" "$work/umlaut.trace" ||
    fail "the folder's ü did not arrive as byte FC: $(od -c "$work/umlaut.trace" | head)"
echo "ok: a folder named with ü arrives as byte FC"

# qdctl.exe hands the library the same bytes: for the image beside it and
# for one named with --firmware.
qdctl_traced() {
    local name=$1 program=$2
    shift 2
    rm -f "$work/$name.trace"
    QD_BOARD_TRACE=$(windows_path "$work/$name.trace") QD_BOARD_STATE=$(windows_path "$work/$name.state") \
        wine "$program" "$@" >"$work/$name.err" 2>&1
    STATUS=$?
}
for how in beside firmware; do
    if [ $how = beside ]; then
        qdctl_traced qdctl-$how 'C:\Tools\Jürgen\qdctl.exe' --download program --device QD1200 800
    else
        qdctl_traced qdctl-$how 'C:\Tools\Board\qdctl.exe' --firmware 'C:\Tools\Jürgen\QD1600.hex' \
            --download program --device QD1200 800
    fi
    [ "$STATUS" = 0 ] || fail "qdctl.exe ($how): status $STATUS: $(cat "$work/qdctl-$how.err")"
    grep -qa "download path=C:\\\\Tools\\\\J"$'\xfc'"rgen\\\\QD1600.hex result=ok" "$work/qdctl-$how.trace" ||
        fail "qdctl.exe ($how): the folder's ü did not arrive as byte FC: $(od -c "$work/qdctl-$how.trace" | head)"
done
echo "ok: qdctl.exe hands over a folder named with ü as byte FC, beside it and with --firmware"

cp -a "$board" "$DRIVE_C/Tools/Ωmega"
start_with_qd1200 'C:\Tools\Ωmega\QD1600.exe' omega
pid=$PID
find_window "^QD1200_1400_1600_1610$"
grep -q "Run-time error '6'" "$work/omega.err" ||
    fail "no run-time error 6 for a folder outside the code page: $(cat "$work/omega.err")"
xdotool windowfocus --sync "$WINDOW"
xdotool key --window "$WINDOW" Return
wait_exit "$pid"
[ "$STATUS" != 0 ] || fail "the program ended with status 0 after run-time error 6"
[ ! -s "$work/omega.trace" ] || fail "the library was called: $(cat "$work/omega.trace")"
echo "ok: a folder with a character outside the code page ends with run-time error 6"
qdctl_traced qdctl-omega 'C:\Tools\Ωmega\qdctl.exe' --download program --device QD1200 800
[ "$STATUS" = 2 ] && grep -q "not in the system's code page" "$work/qdctl-omega.err" ||
    fail "qdctl.exe in a folder outside the code page: status $STATUS: $(cat "$work/qdctl-omega.err")"
if grep -qa "download" "$work/qdctl-omega.trace" 2>/dev/null; then
    fail "qdctl.exe handed the library a path outside the code page: $(cat "$work/qdctl-omega.trace")"
fi
echo "ok: qdctl.exe refuses a folder with a character outside the code page (status 2)"

uninstall_silently 'C:\Tools\Board'
[ "$(cat "$link2")" = "the maker's library" ] || fail "the uninstaller removed the maker's library"
echo "ok: the uninstaller leaves the maker's library"
