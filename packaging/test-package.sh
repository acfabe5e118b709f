#!/usr/bin/env bash
# Packs the Debian package from a finished build, unpacks it into a scratch
# root with dpkg -x and starts the programs from there on the simulated board.
# Usage: test-package.sh BUILD_DIR WORK_DIR E2E_DIR
# With Xvfb and xdotool, QD1600 is driven through Device Selection into a
# firmware download from the unpacked tree; otherwise both programs are only
# started off screen and must still be running a second later.
set -uo pipefail
build=$1 work=$2 e2e=$3
. "$e2e/lib.sh"

rm -rf "$work"
mkdir -p "$work"
trap 'kill_programs; stop_display' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
debs=("$work"/out/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $work/out"
deb=${debs[0]}

depends=$(dpkg-deb --field "$deb" Depends)
for package in libqt6widgets6 libqt6gui6 libqt6core6 libusb-1.0-0 libc6; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done

root="$work/root"
dpkg -x "$deb" "$root" || fail "dpkg -x $deb"
app="$root/usr/lib/qd1600"
for file in "$app/QD1600" "$app/QD1600(version2)"; do
    [ -f "$file" ] && [ -x "$file" ] || fail "not an executable: $file"
done
for file in "$app/libUSBFunctions.so" "$app/libQNS_CYUSB_USB4.so" "$app/QD1600.hex" \
    "$root/usr/lib/udev/rules.d/60-qd1600.rules" \
    "$root/usr/share/applications/qd1600.desktop" \
    "$root/usr/share/applications/qd1600-version2.desktop" \
    "$root/usr/share/icons/hicolor/32x32/apps/qd1600.png"; do
    [ -f "$file" ] || fail "missing from the package: ${file#"$root"}"
done
for program in QD1600 "QD1600(version2)"; do
    [ "$(readlink "$root/usr/bin/$program")" = "../lib/qd1600/$program" ] ||
        fail "/usr/bin/$program does not lead to /usr/lib/qd1600"
done
grep -q 'TAG+="uaccess"' "$root/usr/lib/udev/rules.d/60-qd1600.rules" || fail "udev rule"
grep -q 'MODE=' "$root/usr/lib/udev/rules.d/60-qd1600.rules" && fail "udev rule sets a MODE"

for file in "$app/QD1600" "$app/QD1600(version2)" "$app/libUSBFunctions.so" \
    "$app/libQNS_CYUSB_USB4.so"; do
    missing=$(ldd "$file" | grep "not found")
    [ -z "$missing" ] || fail "${file#"$root"}: $missing"
done
# QD1600(version2) binds its library where the package puts it. The
# compiler may keep the path's tail out of the string table, so only its
# head is looked for, at the start of a string.
strings -a "$app/QD1600(version2)" | grep "^/usr/lib/qd1600/libQNS_CYUSB" >/dev/null ||
    fail "QD1600(version2) does not bind /usr/lib/qd1600/libQNS_CYUSB_USB4.so"

export QD_BOARD=sim QD_BOARD_STATE="$work/board.state" QD_BOARD_TRACE="$work/board.trace"

# Starts a program from the unpacked tree; its process id goes to PID.
start() {
    "$root/usr/bin/$1" 2>"$work/$2.err" &
    PID=$!
    PROGRAMS+=("$PID")
    PROGRAM_LOGS="$work/$2.err"
}

if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
    start_display
    start QD1600 qd1600
    find_window "^Device Selection$"
    click_at "$WINDOW" 70 48  # QD1200
    click_at "$WINDOW" 96 136 # OK
    find_window "Evaluation Software$"
    grep -q "^download path=$app/QD1600.hex result=ok$" "$work/board.trace" ||
        fail "QD1600 did not load the packaged firmware through the packaged library"
    kill_programs
    # Its library's fixed path lies outside the scratch root: the program
    # gets as far as Device Selection.
    start "QD1600(version2)" qd1600-v2
    find_window "^Device Selection$"
    echo "ok: both programs start from the package; QD1600 downloads its firmware"
else
    export QT_QPA_PLATFORM=offscreen
    start QD1600 qd1600
    v1=$PID
    start "QD1600(version2)" qd1600-v2
    v2=$PID
    sleep 1
    kill -0 "$v1" 2>/dev/null || fail "QD1600 ended at start: $(cat "$work/qd1600.err")"
    kill -0 "$v2" 2>/dev/null || fail "QD1600(version2) ended at start"
    echo "ok: both programs start from the package (off screen)"
fi
