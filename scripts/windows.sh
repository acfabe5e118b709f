#!/usr/bin/env bash
# The Windows version, from a clean clone on Debian: the cross-built SDK if
# it is missing (scripts/windows-sdk.sh), the 32-bit build, the installer and
# the zip in build/windows:
#   qd1600-<version>-win32-setup.exe and qd1600-<version>-win32.zip,
# then what can be checked without running them (PE i386, the link
# libraries' exports, version resources, the installer's and the zip's
# files), and last, where this machine runs 32-bit programs, the tests under
# Wine and the installer's own tests in new Wine prefixes.
#
# Nothing of the build needs Wine. Some kernels cannot run 32-bit programs at
# all (no IA32 emulation): there the Wine tests are skipped, one line says
# why, and the script still exits 0. QD_WINE names the Wine command to try
# (default wine); QD_WINE=false shows what such a machine does.
#
# Each stage's outcome and time go to build/windows/stages.txt, one line a
# stage, for scripts/ci.sh to give at its end.
#
# Usage: scripts/windows.sh
# Needs root (or sudo) only to install missing Debian packages, wine32 among
# them (the i386 architecture is added for it).
set -Eeuo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=$repo/build/windows
mkdir -p "$out"
stages=$out/stages.txt
: >"$stages"

started=$SECONDS
stage_started=$SECONDS
STAGE=
# stage NAME: ends the stage before as passed and starts NAME.
stage() {
    [ -n "$STAGE" ] && printf 'passed   %5d s  %s\n' $((SECONDS - stage_started)) "$STAGE" >>"$stages"
    STAGE=$1
    stage_started=$SECONDS
    echo
    echo "=== windows: $1"
}
# A failure names its stage and the command, once, from the script itself.
failed() {
    [ "$BASH_SUBSHELL" = 0 ] || return 0
    echo "windows: stage \"$STAGE\" failed at line $1: $2" >&2
    printf 'failed   %5d s  %s (line %d: %s)\n' $((SECONDS - stage_started)) "$STAGE" "$1" "$2" >>"$stages"
}
trap 'failed $LINENO "$BASH_COMMAND"' ERR

stage "Debian packages"
# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
scripts/deps.sh wine wine32:i386 nsis xvfb xauth xdotool x11-utils cmake ninja-build \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 pkg-config p7zip-full python3-pefile

stage "the SDK (Qt, libusb, GoogleTest for i686-w64-mingw32)"
QD_WINDOWS_SDK=$(scripts/windows-sdk.sh | tail -n 1)
export QD_WINDOWS_SDK
echo "SDK: $QD_WINDOWS_SDK"

stage "configure and build (preset windows)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2

stage "the program folder, the installer and the zip"
version=$(sed -n 's/^project(QD1600 VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
folder=$out/stage/QD1600
rm -rf "$out/stage"
cmake --install "$out" --prefix "$folder" >/dev/null
# Symbol tables stay in the build: a user gets half the bytes.
find "$folder" \( -name '*.exe' -o -name '*.dll' \) -exec i686-w64-mingw32-strip --strip-unneeded {} +
# The uninstaller removes exactly what the installer put there, deepest
# first, and each folder only once it is empty.
remove=$out/uninstall-list.nsh
(
    cd "$folder"
    find . -type f | sort | sed -e 's|^\./||' -e 's|/|\\|g' -e 's|.*|    Delete "$INSTDIR\\&"|'
    find . -mindepth 1 -type d | sort -r | sed -e 's|^\./||' -e 's|/|\\|g' \
        -e 's|.*|    RMDir "$INSTDIR\\&"|'
) >"$remove"
setup=$out/qd1600-$version-win32-setup.exe
zip=$out/qd1600-$version-win32.zip
makensis -V2 -DVERSION="$version" -DSTAGE="$folder" -DREMOVE="$remove" -DOUTFILE="$setup" \
    packaging/windows/qd1600.nsi
rm -f "$zip"
(cd "$out/stage" && cmake -E tar cf "$zip" --format=zip QD1600)
ls -l "$setup" "$zip"

stage "checks without Wine: PE i386, exports, version resources, the installer's and the zip's files"
/usr/bin/python3 tests/windows/check-files.py "$folder" "$setup" "$zip" "$version" QD1600.exe=2.0.1

stage "can this machine run 32-bit programs under Wine?"
wine=${QD_WINE:-wine}
wine_home=$(mktemp -d /var/tmp/qd1600-wine.XXXXXX)
cleanup() {
    WINEPREFIX=$wine_home/prefix wineserver -k 2>/dev/null || true
    rm -rf "$wine_home"
}
trap cleanup EXIT
export WINEPREFIX=$wine_home/prefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# With wine64 alone a 32-bit program prints "wine32 is missing" and exits 0,
# so that every test would pass without running: a known non-zero status
# must come through. What Wine says is shown, whatever it is.
printf 'int main(void) { return 3; }\n' >"$wine_home/status3.c"
i686-w64-mingw32-gcc-posix -o "$wine_home/status3.exe" "$wine_home/status3.c"
status=0
"$wine" wineboot -i >"$wine_home/check.log" 2>&1 || status=$?
[ $status != 0 ] || "$wine" "$wine_home/status3.exe" >>"$wine_home/check.log" 2>&1 || status=$?
echo "$wine $wine_home/status3.exe: exit status $status (3 expected); Wine said:"
sed 's/^/    /' "$wine_home/check.log"
skipped=
if [ $status != 3 ]; then
    if grep -q 'Exec format error' "$wine_home/check.log"; then
        skipped="this kernel cannot run 32-bit programs (no IA32 emulation)"
    elif grep -q 'wine32 is missing' "$wine_home/check.log"; then
        skipped="Wine has no 32-bit side here (wine32 is missing)"
    else
        skipped="a 32-bit program's exit status 3 came back as $status under '$wine'"
    fi
fi

if [ -n "$skipped" ]; then
    printf 'skipped  %5d s  the tests under Wine: %s\n' $((SECONDS - stage_started)) "$skipped" >>"$stages"
    STAGE=
    echo "windows: $skipped: the Wine tests did not run"
    echo "windows: skipped, each under Wine:"
    find "$out/bin" -maxdepth 1 -name '*_test.exe' -printf '    ctest: %f\n' | sort
    echo "    tests/windows/qdctl.sh (qdctl.exe over both links)"
    echo "    tests/windows/installer.sh (the installer, the three programs under Xvfb)"
else
    echo "wine32 check: a 32-bit program's exit status 3 came through"

    stage "tests under Wine (ctest, preset windows)"
    ctest --preset windows -j2

    stage "qdctl.exe and the installed programs under Wine"
    tests/windows/qdctl.sh "$folder"
    tests/windows/installer.sh "$setup"
fi

stage "done"
echo
echo "=== windows: stages"
cat "$stages"
printf '%5d s  %s\n' $((SECONDS - started)) "whole run"
