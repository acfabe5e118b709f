#!/usr/bin/env bash
# Cross-builds, for 32-bit Windows (i686-w64-mingw32, posix threads), what the
# Windows version of the programs links: Qt 6.4.2 (qtbase, and qtsvg and
# qtcharts for qdctl's plots), libusb-1.0 and GoogleTest. Qt and libusb come
# from Debian 12's own source packages, GoogleTest from /usr/src/googletest;
# Qt's host tools are Debian's own Qt 6.4.2 (QT_HOST_PATH).
#
# Usage: scripts/windows-sdk.sh
#   Prints the SDK folder on its last line of standard output; everything
#   else goes to standard error.
#
# The SDK is installed into $QD_WINDOWS_SDK, or else into
# /var/cache/qd1600-windows/<key>, where the key is a hash of the source
# versions, the compiler and this script, the toolchain file included, so
# that any change to what goes in makes a new folder. A folder that holds a
# complete SDK for the same key is reused as it is. Needs root (or sudo) only
# to install missing Debian packages.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
mirror=${QD_CI_MIRROR:-http://deb.debian.org/debian}
security_mirror=${QD_CI_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
suite=bookworm
triple=i686-w64-mingw32
toolchain=$repo/cmake/mingw-i686.cmake
jobs=${QD_JOBS:-$(nproc)}

log() { printf '%s\n' "windows-sdk: $*" >&2; }

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
need=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 cmake ninja-build make dpkg-dev
    xz-utils bzip2 ca-certificates qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-charts-dev
    libgtest-dev libgmock-dev libcli11-dev)
missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# The sources are exactly the versions of the host's own packages: Qt's host
# tools must be the same release as the Qt they build for.
source_of() { dpkg-query -W -f='${source:Package}=${source:Version}' "$1"; }
qtbase=$(source_of qt6-base-dev)
qtsvg=$(source_of qt6-svg-dev)
qtcharts=$(source_of qt6-charts-dev)
libusb=$(source_of libusb-1.0-0-dev 2>/dev/null || echo "libusb-1.0=2:1.0.26-1")
gtest=$(source_of libgtest-dev)
cli11=$(source_of libcli11-dev)
compiler=$($triple-g++-posix -dumpfullversion)-$(dpkg-query -W -f='${Version}' g++-mingw-w64-i686-posix)
case "$qtbase" in
qt6-base=6.4.2+*) ;;
*)
    log "the host's Qt is $qtbase; this script builds against Debian 12's Qt 6.4.2"
    exit 1
    ;;
esac

key=$( {
    echo "$qtbase $qtsvg $qtcharts $libusb $gtest $cli11 $compiler"
    cat "$0" "$toolchain"
} | sha256sum | cut -c1-16)
prefix=${QD_WINDOWS_SDK:-/var/cache/qd1600-windows/$key}

if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$key" ]; then
    log "reusing $prefix"
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d /var/tmp/qd1600-windows-sdk.XXXXXX)
trap 'rm -rf "$work"' EXIT
log "building into $prefix (work folder $work)"
rm -rf "$prefix"
mkdir -p "$prefix"

# A private apt folder that knows Debian's source packages, used for this
# one download only: the machine's own apt sources stay as they are.
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] $mirror $suite main
deb-src [signed-by=$keyring] $mirror $suite-updates main
deb-src [signed-by=$keyring] $security_mirror $suite-security main
EOF
apt_private=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root")
apt-get "${apt_private[@]}" update -qq

# Downloads and unpacks one source package, Debian's patches applied, into
# $work/<folder>. Returns non-zero when the mirror does not have it.
fetch() {
    local wanted=$1 folder=$2
    mkdir -p "$work/download/$folder"
    if ! (cd "$work/download/$folder" &&
        apt-get "${apt_private[@]}" source --download-only -qq "$wanted" >"$work/$folder-fetch.log" 2>&1); then
        grep -E '^E: ' "$work/$folder-fetch.log" | head -n 3 >&2
        return 1
    fi
    dpkg-source --no-check -x "$work/download/$folder"/*.dsc "$work/$folder" >/dev/null 2>&1
}

# Runs a build step with its output in a log; on failure the log's end is
# shown.
run() {
    local name=$1
    shift
    local started=$SECONDS
    if ! "$@" >"$work/$name.log" 2>&1; then
        tail -n 60 "$work/$name.log" >&2
        log "$name failed; the whole log was $work/$name.log"
        trap - EXIT
        exit 1
    fi
    log "$name: $((SECONDS - started)) s"
}

cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQD_WINDOWS_SDK="$prefix"
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release)

# --- GoogleTest, for the tests that run under Wine.
run googletest-configure cmake -S /usr/src/googletest -B "$work/googletest-build" "${cross[@]}" \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
run googletest-build cmake --build "$work/googletest-build" -j "$jobs"
run googletest-install cmake --install "$work/googletest-build"

# --- CLI11, qdctl's command-line parser: headers only, Debian's own.
mkdir -p "$prefix/include" "$prefix/lib/cmake/CLI11"
cp -r /usr/include/CLI "$prefix/include/"
cat >"$prefix/lib/cmake/CLI11/CLI11Config.cmake" <<'EOF'
if(NOT TARGET CLI11::CLI11)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    get_filename_component(prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
    set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include")
endif()
EOF

# --- libusb-1.0, with its Windows backends (WinUSB among them).
fetch "$libusb" libusb || {
    log "the mirror $mirror has no source for $libusb"
    exit 1
}
libusb_build() {
    cd "$work/libusb"
    # Static: our link libraries carry it inside, with no libusb DLL to
    # ship and find beside them.
    ./configure --host=$triple --prefix="$prefix" --disable-shared --enable-static \
        --disable-examples-build --disable-tests-build CC=$triple-gcc-posix
    make -j "$jobs"
    make install
}
run libusb libusb_build

# --- Qt's base: Core, Gui, Widgets, Network, and OpenGL for Charts.
fetch "$qtbase" qtbase || {
    log "the mirror $mirror has no source for $qtbase"
    exit 1
}
# The +dfsg source lacks wintab (tablet events), sqlite (the SQL module) and
# iaccessible2, so what needs them is off. OpenGL stays on, loaded at run
# time as MXE builds it: the Windows platform plugin of 6.4 does not compile
# without it, and Charts needs it. Everything else comes from Qt's own
# bundled copies, as a Windows program ships them. What the programs do not
# use is left out, for a shorter build: the test library, Concurrent,
# printing, D-Bus. Direct2D stays: without it 6.4's Windows platform plugin
# refers to a DirectWrite font database that Gui then leaves out.
run qtbase-configure cmake -S "$work/qtbase" -B "$work/qtbase-build" "${cross[@]}" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DBUILD_WITH_PCH=OFF -DFEATURE_pkg_config=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_sql=OFF -DFEATURE_opengl_dynamic=ON \
    -DFEATURE_testlib=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_icu=OFF -DFEATURE_openssl=OFF \
    -DFEATURE_zstd=OFF -DFEATURE_androiddeployqt=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_libpng=OFF -DFEATURE_system_jpeg=OFF
run qtbase-build cmake --build "$work/qtbase-build" -j "$jobs"
run qtbase-install cmake --install "$work/qtbase-build"

# --- qtsvg and qtcharts, for qdctl's plots. Optional: without them the
# programs and qdctl are complete but for --plot.
modules=()
for wanted in "$qtsvg" "$qtcharts"; do
    name=${wanted%%=*}
    name=qt${name#qt6-}
    if ! fetch "$wanted" "$name"; then
        log "the mirror $mirror has no source for $wanted: building without $name"
        continue
    fi
    run "$name-configure" "$prefix/bin/qt-cmake" -S "$work/$name" -B "$work/$name-build" \
        -G Ninja -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    run "$name-build" cmake --build "$work/$name-build" -j "$jobs"
    run "$name-install" cmake --install "$work/$name-build"
    modules+=("$name")
done

printf '%s\n' qtbase "${modules[@]}" libusb googletest cli11 >"$prefix/.contents"
echo "$key" >"$prefix/.complete"
# An SDK made from other sources or by another script is of no more use.
if [ -z "${QD_WINDOWS_SDK:-}" ]; then
    find "$(dirname "$prefix")" -mindepth 1 -maxdepth 1 -type d ! -name "$key" -exec rm -rf {} +
fi
log "done: $prefix"
echo "$prefix"
