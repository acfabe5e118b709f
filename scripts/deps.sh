#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages the build, the programs and the tests
# need; only the missing ones, with sudo when not root. Packages named as
# arguments are installed instead of that list.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config clang libclang-rt-dev clang-tidy
    qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev libxkbcommon-dev
    libusb-1.0-0-dev libcli11-dev liblxi-dev libsqlite3-dev libpq-dev
    # a compiler cache, used when CMAKE_CXX_COMPILER_LAUNCHER=ccache (CI sets it)
    ccache
    # tests
    libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev
    xvfb xauth xdotool x11-utils locales fonts-liberation
    python3 python3-pyvisa python3-pyvisa-py lxi-tools python3-pymeasure
    # the results store's tests: a real server they start themselves
    sqlite3 postgresql
    # the report's screenshot
    poppler-utils
    # the Debian package
    dpkg-dev file lintian help2man appstream desktop-file-utils
)

[ $# -eq 0 ] || packages=("$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

[ $# -eq 0 ] || exit 0
# The readback is checked under a decimal-comma locale too.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    "${as_root[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "warning: no de_DE.UTF-8 locale" >&2
fi
