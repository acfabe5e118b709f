#!/usr/bin/env bash
# The Windows version, from a clean clone on Debian: the cross-built SDK if
# it is missing (scripts/windows-sdk.sh), the 32-bit build with its tests
# under Wine, then the installer and the zip in build/windows:
#   qd1600-<version>-win32-setup.exe and qd1600-<version>-win32.zip,
# and last the installer's own tests in a new Wine prefix.
#
# Usage: scripts/windows.sh
# Needs root (or sudo) only to install missing Debian packages, wine32 among
# them (the i386 architecture is added for it).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

started=$SECONDS
stage_started=$SECONDS
STAGE=
TIMINGS=()
stage() {
    [ -n "$STAGE" ] && TIMINGS+=("$(printf '%5d s  %s' $((SECONDS - stage_started)) "$STAGE")")
    STAGE=$1
    stage_started=$SECONDS
    echo
    echo "=== windows: $1"
}

stage "Debian packages"
# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
fi
scripts/deps.sh wine wine32:i386 nsis xvfb xauth xdotool x11-utils cmake ninja-build \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 pkg-config

stage "the SDK (Qt, libusb, GoogleTest for i686-w64-mingw32)"
QD_WINDOWS_SDK=$(scripts/windows-sdk.sh | tail -n 1)
export QD_WINDOWS_SDK
echo "SDK: $QD_WINDOWS_SDK"

stage "a new 32-bit Wine prefix"
wine_home=$(mktemp -d /var/tmp/qd1600-wine.XXXXXX)
cleanup() {
    WINEPREFIX=$wine_home/prefix wineserver -k 2>/dev/null || true
    rm -rf "$wine_home"
}
trap cleanup EXIT
export WINEPREFIX=$wine_home/prefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
# With wine64 alone a 32-bit program prints "wine32 is missing" and exits 0,
# so that every test would pass without running: a known non-zero status
# must come through first.
printf 'int main(void) { return 3; }\n' >"$wine_home/status3.c"
i686-w64-mingw32-gcc-posix -o "$wine_home/status3.exe" "$wine_home/status3.c"
set +e
wine "$wine_home/status3.exe"
status=$?
set -e
if [ "$status" != 3 ]; then
    echo "windows: a 32-bit program's exit status 3 came back as $status: wine32 does not run" \
        "32-bit programs here (install wine32:i386)" >&2
    exit 1
fi
echo "wine32 check: a 32-bit program's exit status 3 came through"

stage "configure and build (preset windows)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2

stage "tests under Wine (ctest, preset windows)"
ctest --preset windows -j2

stage "the program folder, the installer and the zip"
version=$(sed -n 's/^project(QD1600 VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
out=$repo/build/windows
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

stage "qdctl.exe and the installed programs under Wine"
tests/windows/qdctl.sh "$folder"
tests/windows/installer.sh "$setup"

stage "done"
echo
echo "=== windows: timings"
printf '%s\n' "${TIMINGS[@]}"
printf '%5d s  %s\n' $((SECONDS - started)) "whole run"
