#!/usr/bin/env bash
# Checks a built Debian package the way a user installing it meets it:
# lintian, the control fields, every file it holds, and the programs and
# qdctl started from it on the simulated board.
# Usage: check-package.sh DEB SOURCE_DIR BUILD_DIR
#
# The package is unpacked with dpkg -x into a scratch root, so this needs no
# root rights and leaves the machine alone. QD1600(version2) binds its link
# library at /usr/lib/qd1600, outside that root: from there it only gets as
# far as Device Selection.
# grep reads its input to the end after a pipe (no -q there): a writer cut
# short by SIGPIPE would fail the whole pipeline.
set -uo pipefail
if [ $# -ne 3 ]; then
    echo "usage: $0 DEB SOURCE_DIR BUILD_DIR" >&2
    exit 2
fi
deb=$(realpath "$1") src=$(realpath "$2") build=$(realpath "$3")
. "$src/tests/e2e/lib.sh"
[ -f "$deb" ] || fail "no package $deb"

work=$(mktemp -d)
trap 'kill_programs; stop_display; rm -rf "$work"' EXIT

# --- lintian: no error, and no warning or info that is not overridden.
lintian --display-info --fail-on error,warning,info "$deb" >"$work/lintian" 2>&1 ||
    fail "lintian:"$'\n'"$(cat "$work/lintian")"
echo "ok: lintian"

# --- control fields
version=$(dpkg-deb --field "$deb" Version)
changelog_version=$(dpkg-parsechangelog -l "$src/packaging/changelog" -SVersion)
[ "$version" = "$changelog_version" ] ||
    fail "package version $version, changelog $changelog_version"
depends=$(dpkg-deb --field "$deb" Depends)
for package in libqt6widgets6 libqt6gui6 libqt6core6 libusb-1.0-0 libsqlite3-0 libpq5 libc6; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
# Every picture is drawn with Qt Gui alone.
for package in libqt6charts6 libqt6svg6; do
    ! grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends names $package: $depends"
done
# Our libraries are private: nothing to tell ldconfig, no maintainer script.
dpkg-deb --control "$deb" "$work/control" || fail "dpkg-deb --control $deb"
extra=$(ls "$work/control" | grep -vxE "control|md5sums")
[ -z "$extra" ] || fail "unexpected control files: $extra"
echo "ok: version $version, Depends, no maintainer scripts"

root="$work/root"
dpkg -x "$deb" "$root" || fail "dpkg -x $deb"
app="$root/usr/lib/qd1600"

# --- no file may name the folders the package was built in.
# Lists the files below $1 that contain the text $2, gzipped ones unpacked.
files_naming() {
    grep -rlF -- "$2" "$1"
    find "$1" -type f -name '*.gz' -print0 | while IFS= read -r -d '' gz; do
        zcat -- "$gz" | grep -F -- "$2" >/dev/null && echo "$gz"
    done
    return 0
}
# The scan has to find a path planted in a plain file, a binary and a gzip.
planted="$work/planted"
mkdir -p "$planted"
printf 'path=%s/x\n' "$build" >"$planted/text"
printf '\177ELF\0\0%s/lib.so\0\1\2' "$build" >"$planted/binary"
printf 'see %s\n' "$build" | gzip -9n >"$planted/page.1.gz"
[ "$(files_naming "$planted" "$build" | sort)" = "$(printf '%s\n' "$planted"/* | sort)" ] ||
    fail "the path scan misses a planted path"
for folder in "$src" "$build"; do
    naming=$(files_naming "$root" "$folder"; files_naming "$work/control" "$folder")
    [ -z "$naming" ] || fail "files naming $folder:"$'\n'"$naming"
done
echo "ok: no file names $src or $build"

# --- the files
for file in "$app/QD1600" "$app/QD1600(version2)" "$app/QD1600Bench" "$app/qdctl"; do
    [ -f "$file" ] && [ -x "$file" ] || fail "not an executable: ${file#"$root"}"
done
share="$root/usr/share"
for file in "$app/libUSBFunctions.so" "$app/libQNS_CYUSB_USB4.so" "$app/QD1600.hex" \
    "$app/libqdctl-postgres.so" "$app/libqdctl-report.so" "$app/libqdctl-serve.so" \
    "$app/libqdctl-simmeter.so" "$app/libqdctl-simscope.so" \
    "$root/usr/lib/udev/rules.d/60-qd1600.rules" \
    "$share/applications/qd1600.desktop" "$share/applications/qd1600-version2.desktop" \
    "$share/applications/qd1600-bench.desktop" \
    "$share/metainfo/com.quensor.qd1600.metainfo.xml" \
    "$share/icons/hicolor/scalable/apps/qd1600.svg" \
    "$share/doc/qd1600/copyright" "$share/doc/qd1600/changelog.gz" \
    "$share/lintian/overrides/qd1600"; do
    [ -f "$file" ] || fail "missing from the package: ${file#"$root"}"
done
for size in 16 22 24 32 48 64 128 256; do
    icon="$share/icons/hicolor/${size}x${size}/apps/qd1600.png"
    file -b "$icon" | grep "^PNG image data, $size x $size," >/dev/null ||
        fail "not a $size px PNG: ${icon#"$root"}"
done
grep -q 'TAG+="uaccess"' "$root/usr/lib/udev/rules.d/60-qd1600.rules" || fail "udev rule"
grep -q 'MODE=' "$root/usr/lib/udev/rules.d/60-qd1600.rules" && fail "udev rule sets a MODE"
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "$share/doc/qd1600/copyright" || fail "copyright is not machine-readable"
[ "$(zcat "$share/doc/qd1600/changelog.gz" | head -n 1)" = \
    "$(head -n 1 "$src/packaging/changelog")" ] || fail "changelog.gz is not packaging/changelog"

# Each command on the PATH leads into /usr/lib/qd1600 and has a man page.
for program in QD1600 "QD1600(version2)" QD1600Bench qdctl; do
    [ "$(readlink "$root/usr/bin/$program")" = "../lib/qd1600/$program" ] ||
        fail "/usr/bin/$program does not lead to /usr/lib/qd1600/$program"
    page="$share/man/man1/$program.1.gz"
    [ -f "$page" ] || fail "no man page ${page#"$root"}"
    zcat "$page" | grep "^\.SH NAME" >/dev/null || fail "${page#"$root"} is no man page"
done
echo "ok: programs, libraries, qdctl's modules, firmware, udev rule, desktop entries, metainfo," \
    "icons, man pages, copyright, changelog"

# --- every ELF file finds its libraries and is hardened (lintian cannot
# read QD1600(version2), so this looks at each itself).
elves=0
while IFS= read -r -d '' file; do
    file -b "$file" | grep "^ELF" >/dev/null || continue
    elves=$((elves + 1))
    name=${file#"$root"}
    missing=$(ldd "$file" | grep "not found")
    [ -z "$missing" ] || fail "$name: $missing"
    readelf -lW "$file" | grep "GNU_RELRO" >/dev/null || fail "$name: no RELRO"
    readelf -dW "$file" | grep -E "\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW" >/dev/null ||
        fail "$name: not linked with -z now"
done < <(find "$root" -type f -print0)
[ "$elves" -ge 5 ] || fail "expected the programs, qdctl and both libraries, found $elves ELF files"
echo "ok: ldd and hardening of the $elves ELF files"

desktop-file-validate "$share/applications/qd1600.desktop" \
    "$share/applications/qd1600-version2.desktop" "$share/applications/qd1600-bench.desktop" \
    >"$work/desktop" 2>&1 &&
    [ ! -s "$work/desktop" ] || fail "desktop-file-validate: $(cat "$work/desktop")"
appstreamcli validate --no-net "$share/metainfo/com.quensor.qd1600.metainfo.xml" \
    >"$work/appstream" 2>&1 && ! grep -Eq "^(E|W):" "$work/appstream" ||
    fail "appstreamcli validate: $(cat "$work/appstream")"
echo "ok: desktop-file-validate, appstreamcli validate"

# QD1600(version2) binds its library where the package puts it. The
# compiler may keep the path's tail out of the string table, so only its
# head is looked for, at the start of a string.
strings -a "$app/QD1600(version2)" | grep "^/usr/lib/qd1600/libQNS_CYUSB" >/dev/null ||
    fail "QD1600(version2) does not bind /usr/lib/qd1600/libQNS_CYUSB_USB4.so"

# --- the programs from the unpacked tree, on the simulated board, on a
# display of their own whatever the calling shell has set.
export QD_BOARD=sim QD_BOARD_STATE="$work/board.state" QD_BOARD_TRACE="$work/board.trace"
export QD_RESULTS="$work/results.sqlite"
unset QD_BOARD_FAULT QD_BOARD_VREF

version_line=$("$root/usr/bin/qdctl" --version) || fail "qdctl --version"
[ "$version_line" = "qdctl $version" ] || fail "qdctl --version says \"$version_line\""
"$root/usr/bin/qdctl" --link 1 program --device QD1200 800 >"$work/qdctl.out" 2>"$work/qdctl.err" ||
    fail "qdctl --link 1 program: $(cat "$work/qdctl.err")"
grep -q "^QD1200 normal: code 0800 -> frame 2000 " "$work/qdctl.out" ||
    fail "qdctl --link 1 program printed: $(cat "$work/qdctl.out")"
grep -q "^download path=$app/QD1600.hex result=ok$" "$work/board.trace" ||
    fail "qdctl did not load the packaged firmware through the packaged library"
grep -q "^request code=221 value=8192 index=4096 direction=0 length=0 data= result=ok$" \
    "$work/board.trace" || fail "qdctl did not write 800"
# qdctl --link 2 binds the path of the installed package, nothing else.
link2=/usr/lib/qd1600/libQNS_CYUSB_USB4.so
"$root/usr/bin/qdctl" --link 2 read >"$work/qdctl2.out" 2>"$work/qdctl2.err"
status=$?
if [ -e "$link2" ]; then
    [ "$status" = 0 ] || fail "qdctl --link 2 read with $link2 installed: $(cat "$work/qdctl2.err")"
else
    [ "$status" = 7 ] && grep -qF "$link2" "$work/qdctl2.err" ||
        fail "qdctl --link 2 read without $link2 (status $status): $(cat "$work/qdctl2.err")"
fi
echo "ok: qdctl --version, --link 1 program, --link 2 binds $link2"

# Starts a program from the unpacked tree; its process id goes to PID.
start() {
    "$root/usr/bin/$1" 2>"$work/$2.err" &
    PID=$!
    PROGRAMS+=("$PID")
    PROGRAM_LOGS="$work/$2.err"
}

command -v Xvfb >/dev/null && command -v xdotool >/dev/null || fail "Xvfb and xdotool needed"
start_display
export QT_QPA_PLATFORM=xcb
: >"$work/board.trace"
start QD1600 qd1600
find_window "^Device Selection$"
click_at "$WINDOW" 70 48  # QD1200
click_at "$WINDOW" 96 136 # OK
find_window "Evaluation Software$"
grep -q "^download path=$app/QD1600.hex result=ok$" "$work/board.trace" ||
    fail "QD1600 did not load the packaged firmware through the packaged library"
kill_programs
wait "$PID" 2>/dev/null
start "QD1600(version2)" qd1600-v2
find_window "^Device Selection$"
kill_programs
wait "$PID" 2>/dev/null
start QD1600Bench qd1600-bench
find_window "^QD1600 Bench$"
echo "ok: QD1600 downloads the packaged firmware; QD1600(version2) and QD1600Bench start"
echo "ok: $deb"
