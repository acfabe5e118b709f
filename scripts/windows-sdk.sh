#!/usr/bin/env bash
# Cross-builds, for 32-bit Windows (i686-w64-mingw32, posix threads), what the
# Windows version of the programs links: Qt 6.4.2 (qtbase), libusb-1.0,
# SQLite, PostgreSQL's client library (libpq) and GoogleTest. Qt, libusb,
# SQLite and PostgreSQL come from Debian 12's own source packages,
# GoogleTest from /usr/src/googletest; Qt's host tools are Debian's own Qt
# 6.4.2 (QT_HOST_PATH).
#
# Usage: scripts/windows-sdk.sh
#   Prints the SDK folder on its last line of standard output; everything
#   else goes to standard error.
#
# The SDK is installed into $QD_WINDOWS_SDK, or else into
# $QD_WINDOWS_CACHE/<key> (default /var/cache/qd1600-windows), where the key
# is a hash of the source versions, the compiler, the toolchain file and the
# build steps below, so that any change to what goes in makes a new folder. A
# folder that holds a complete SDK for the same key is reused as it is.
#
# qtbase takes nearly all the time (about 40 minutes on 2 cores), so it is
# kept apart in $QD_WINDOWS_CACHE/qtbase-<key>, keyed by its own version and
# build step only: a change to the other parts, or to this script's words,
# does not make it again. The SDK links its files in.
#
# Needs root (or sudo) only to install missing Debian packages.
set -Eeuo pipefail
# A failure names its step and the command, never a silent end.
trap 'echo "windows-sdk: failed at line $LINENO: $BASH_COMMAND" >&2' ERR

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
    xz-utils bzip2 ca-certificates qt6-base-dev qt6-base-dev-tools tcl
    libgtest-dev libgmock-dev libcli11-dev libsqlite3-dev libpq-dev)
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

# The sources are the versions of the host's own packages: Qt's host tools
# must be the same release as the Qt they build for. For the other parts the
# host's version is only the first choice (see fetch).
source_of() { dpkg-query -W -f='${source:Package}=${source:Version}' "$1"; }
qtbase=$(source_of qt6-base-dev)
libusb=$(source_of libusb-1.0-0-dev 2>/dev/null || echo "libusb-1.0=2:1.0.26-1")
gtest=$(source_of libgtest-dev)
cli11=$(source_of libcli11-dev)
sqlite=$(source_of libsqlite3-dev)
postgres=$(source_of libpq-dev)
compiler=$($triple-g++-posix -dumpfullversion)-$(dpkg-query -W -f='${Version}' g++-mingw-w64-i686-posix)
case "$qtbase" in
qt6-base=6.4.2+*) ;;
*)
    log "the host's Qt is $qtbase; this script builds against Debian 12's Qt 6.4.2"
    exit 1
    ;;
esac

cache=${QD_WINDOWS_CACHE:-/var/cache/qd1600-windows}
cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release)

# Each part is built by one function, and its key hashes that function's
# text: a change to how a part is built makes it again, a comment does not.

# GoogleTest, for the tests that run under Wine.
build_googletest() {
    run googletest-configure cmake -S /usr/src/googletest -B "$work/googletest-build" "${cross[@]}" \
        -DCMAKE_INSTALL_PREFIX="$1" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
    run googletest-build cmake --build "$work/googletest-build" -j "$jobs"
    run googletest-install cmake --install "$work/googletest-build"
}

# CLI11, qdctl's command-line parser: headers only, Debian's own.
build_cli11() {
    mkdir -p "$1/include" "$1/lib/cmake/CLI11"
    cp -r /usr/include/CLI "$1/include/"
    cat >"$1/lib/cmake/CLI11/CLI11Config.cmake" <<'CONFIG'
if(NOT TARGET CLI11::CLI11)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    get_filename_component(prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
    set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include")
endif()
CONFIG
}

# libusb-1.0, with its Windows backends (WinUSB among them). Static: our link
# libraries carry it inside, with no libusb DLL to ship and find beside them.
build_libusb() {
    fetch "$libusb" libusb
    run libusb-configure env -C "$work/libusb" ./configure --host=$triple --prefix="$1" \
        --disable-shared --enable-static --disable-examples-build --disable-tests-build \
        CC=$triple-gcc-posix
    run libusb-build make -C "$work/libusb" -j "$jobs"
    run libusb-install make -C "$work/libusb" install
}

# SQLite, the results store's engine on a bench: its one-file amalgamation,
# made by the source's own build on this machine (it needs tclsh), compiled
# for Windows as a static library.
build_sqlite() {
    fetch "$sqlite" sqlite
    mkdir -p "$work/sqlite-build" "$1/include" "$1/lib"
    run sqlite-configure env -C "$work/sqlite-build" "$work/sqlite/configure" --disable-tcl
    run sqlite-amalgamation make -C "$work/sqlite-build" sqlite3.c
    run sqlite-build $triple-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_DQS=0 \
        -c "$work/sqlite-build/sqlite3.c" -o "$work/sqlite-build/sqlite3.o"
    run sqlite-archive $triple-ar rcs "$1/lib/libsqlite3.a" "$work/sqlite-build/sqlite3.o"
    cp "$work/sqlite-build/sqlite3.h" "$work/sqlite-build/sqlite3ext.h" "$1/include/"
}

# PostgreSQL's client library alone, for a lab's central store: libpq.dll
# with its import library, and the headers a client includes. Nothing the
# client does not need (no SSL, GSSAPI, LDAP, compression).
build_libpq() {
    fetch "$postgres" postgres
    run libpq-configure env -C "$work/postgres" ./configure --host=$triple --prefix="$1" \
        --without-readline --without-zlib --without-icu --without-openssl --without-gssapi \
        --without-ldap CC=$triple-gcc-posix
    run libpq-build make -C "$work/postgres/src/interfaces/libpq" -j "$jobs"
    mkdir -p "$1/include" "$1/lib" "$1/bin"
    cp "$work/postgres/src/interfaces/libpq/libpq.dll" "$1/bin/"
    cp "$work/postgres/src/interfaces/libpq/libpq.a" "$1/lib/"
    cp "$work/postgres/src/interfaces/libpq/libpq-fe.h" \
        "$work/postgres/src/interfaces/libpq/libpq-events.h" \
        "$work/postgres/src/include/postgres_ext.h" \
        "$work/postgres/src/include/pg_config_ext.h" "$1/include/"
}

# Qt's base: Core, Gui, Widgets, Network.
# The +dfsg source lacks wintab (tablet events), sqlite (the SQL module) and
# iaccessible2, so what needs them is off. OpenGL stays on, loaded at run
# time as MXE builds it: the Windows platform plugin of 6.4 does not compile
# without it. Everything else comes from Qt's own bundled copies, as a
# Windows program ships them. What the programs do not use is left out, for
# a shorter build: the test library, Concurrent, printing, D-Bus. Direct2D
# stays: without it 6.4's Windows platform plugin refers to a DirectWrite
# font database that Gui then leaves out.
build_qtbase() {
    fetch "$qtbase" qtbase
    run qtbase-configure cmake -S "$work/qtbase" -B "$work/qtbase-build" "${cross[@]}" \
        -DCMAKE_INSTALL_PREFIX="$1" \
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
}

base=$(cat "$toolchain"; echo "$compiler")
qt_key=$( {
    echo "$base $qtbase"
    declare -f build_qtbase
} | sha256sum | cut -c1-16)
key=$( {
    echo "$base $qt_key $libusb $gtest $cli11 $sqlite $postgres"
    declare -f build_googletest build_cli11 build_libusb build_sqlite build_libpq
} | sha256sum | cut -c1-16)
qt_prefix=$cache/qtbase-$qt_key
prefix=${QD_WINDOWS_SDK:-$cache/$key}

complete() { [ -f "$1/.complete" ] && [ "$(cat "$1/.complete")" = "$2" ]; }
if complete "$prefix" "$key"; then
    log "reusing $prefix"
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d /var/tmp/qd1600-windows-sdk.XXXXXX)
trap 'rm -rf "$work"' EXIT
log "building into $prefix (work folder $work)"

# A private apt folder that knows Debian's source packages, used for these
# downloads only: the machine's own apt sources stay as they are.
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<SOURCES
deb-src [signed-by=$keyring] $mirror $suite main
deb-src [signed-by=$keyring] $mirror $suite-updates main
deb-src [signed-by=$keyring] $security_mirror $suite-security main
SOURCES
apt_private=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root")
apt_updated=0

# Downloads one source package's files into $work/download/<folder>; false
# when the mirror does not serve them.
download_source() {
    local wanted=$1 folder=$2
    rm -rf "$work/download/$folder"
    mkdir -p "$work/download/$folder"
    (cd "$work/download/$folder" &&
        apt-get "${apt_private[@]}" source --download-only -qq "$wanted" >>"$work/$folder-fetch.log" 2>&1)
}

# Downloads and unpacks one source package, Debian's patches applied, into
# $work/<folder>. Qt's must be exactly the host's version, as its host tools
# are; any other part is taken in the host's version when the mirror serves
# it, else in the newest version it lists whose files download (a security
# update's index may name tarballs the mirror has not got). Ends the script
# when none downloads.
fetch() {
    local wanted=$1 folder=$2 name version
    if [ $apt_updated = 0 ]; then
        apt-get "${apt_private[@]}" update -qq
        apt_updated=1
    fi
    : >"$work/$folder-fetch.log"
    if ! download_source "$wanted" "$folder"; then
        local taken=
        if [ "$folder" != qtbase ]; then
            name=${wanted%%=*}
            for version in $(apt-cache "${apt_private[@]}" showsrc "$name" 2>/dev/null |
                sed -n 's/^Version: //p' | sort -u | sort -r -V); do
                [ "$name=$version" != "$wanted" ] || continue
                if download_source "$name=$version" "$folder"; then
                    taken=$name=$version
                    break
                fi
            done
        fi
        if [ -z "$taken" ]; then
            grep -E '^E: ' "$work/$folder-fetch.log" | head -n 3 >&2 || true
            log "the mirror $mirror has no source for $wanted"
            exit 1
        fi
        log "the mirror does not serve $wanted; building $taken instead"
    fi
    dpkg-source --no-check -x "$work/download/$folder"/*.dsc "$work/$folder" >/dev/null 2>&1
}

# Runs a build step with its output in a log; on failure the log's end is
# shown and the work folder kept.
run() {
    local name=$1
    shift
    local started=$SECONDS
    if ! "$@" >"$work/$name.log" 2>&1; then
        tail -n 60 "$work/$name.log" >&2
        log "$name failed: $*; the whole log is $work/$name.log"
        trap - EXIT
        exit 1
    fi
    log "$name: $((SECONDS - started)) s"
}

if complete "$qt_prefix" "$qt_key"; then
    log "reusing qtbase from $qt_prefix"
else
    rm -rf "$qt_prefix"
    mkdir -p "$qt_prefix"
    build_qtbase "$qt_prefix"
    echo "$qt_key" >"$qt_prefix/.complete"
fi

rm -rf "$prefix"
mkdir -p "$prefix"
# Qt's CMake packages find their files relative to themselves, so its tree
# may sit in the SDK as links to the kept copy.
cp -al "$qt_prefix/." "$prefix/" 2>/dev/null || cp -a "$qt_prefix/." "$prefix/"
rm -f "$prefix/.complete"
build_googletest "$prefix"
build_cli11 "$prefix"
build_libusb "$prefix"
build_sqlite "$prefix"
build_libpq "$prefix"

printf '%s\n' qtbase libusb googletest cli11 sqlite libpq >"$prefix/.contents"
echo "$key" >"$prefix/.complete"
# SDKs and qtbase builds of other keys are of no more use.
if [ -z "${QD_WINDOWS_SDK:-}" ]; then
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$key" ! -name "qtbase-$qt_key" \
        -exec rm -rf {} +
fi
log "done: $prefix"
echo "$prefix"
