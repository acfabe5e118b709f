#!/usr/bin/env bash
# What a new user gets, checked on new machines: runs the README's test
# command inside a new Debian 12 root, builds the Debian package there as the
# docs say, installs it with apt-get into a second new root that holds
# nothing else, and checks the installed programs from /usr.
#
# Last, in the build root, it makes the Windows version with
# scripts/windows.sh: the SDK it cross-builds is kept in $QD_WINDOWS_CACHE
# (default /var/cache/qd1600-windows) between runs.
#
# Usage: scripts/ci.sh [--refresh-base]
#   --refresh-base  make the pristine base root again instead of reusing it
# QD_WINE is handed to windows.sh (QD_WINE=false: the Wine tests are
# skipped, as on a kernel without 32-bit support).
#
# Needs root (it uses chroot and mounts; it re-runs itself through sudo) and
# network access to the Debian mirror. The checkout is copied in as git
# tracks it, from the working tree, so local edits of tracked files are
# tested too but build folders are not. The pristine base root (Debian's
# packages only, nothing of this project) is cached in $QD_CI_CACHE
# (default /var/cache/qd1600-ci), as are downloaded .deb files, the
# compiler cache (ccache) of the build root and clang-tidy's passes.
set -Eeuo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
refresh=0
[ "${1:-}" = "--refresh-base" ] && refresh=1

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=QD_CI_CACHE,QD_CI_MIRROR,QD_WINDOWS_CACHE,QD_WINE "$0" "$@"
fi

cache=${QD_CI_CACHE:-/var/cache/qd1600-ci}
windows_cache=${QD_WINDOWS_CACHE:-/var/cache/qd1600-windows}
mirror=${QD_CI_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
# A path no other file mentions, so that any installed file naming it is
# caught.
src=/home/builder/qd1600-src

started=$(date +%s)
stage_started=$started
STAGE=
RESULTS=()
# stage NAME: ends the stage before as passed and starts NAME.
stage() {
    [ -z "$STAGE" ] || RESULTS+=("$(printf 'passed   %5d s  %s' $(($(date +%s) - stage_started)) "$STAGE")")
    STAGE=$1
    stage_started=$(date +%s)
    echo
    echo "=== $1"
}
# A failure names its stage and the command, once, from the script itself.
FAILED=
failed() {
    [ "$BASH_SUBSHELL" = 0 ] && [ -z "$FAILED" ] || return 0
    FAILED="line $1: $2"
    echo "ci: stage \"$STAGE\" failed at line $1: $2" >&2
}
trap 'failed $LINENO "$BASH_COMMAND"' ERR

# The last lines of every run, whichever way it ends: each stage passed,
# failed or skipped, with its time; the Windows stages as windows.sh wrote
# them, a skipped Wine stage with its reason.
WINDOWS_STAGES=
summary() {
    local status=$1
    if [ -n "$STAGE" ]; then
        local outcome=passed
        [ "$status" = 0 ] || outcome=failed
        RESULTS+=("$(printf '%-8s %5d s  %s%s' $outcome $(($(date +%s) - stage_started)) "$STAGE" \
            "${FAILED:+ ($FAILED)}")")
    fi
    echo
    echo "=== summary"
    local line
    for line in "${RESULTS[@]}"; do
        echo "$line"
        if [[ $line == *"scripts/windows.sh"* ]] && [ -n "$WINDOWS_STAGES" ]; then
            printf '%s\n' "$WINDOWS_STAGES" | sed 's/^/    windows: /'
        fi
    done
    printf '         %5d s  whole run, exit status %d\n' $(($(date +%s) - started)) "$status"
    # A skipped Wine stage is said last, where nobody misses it.
    printf '%s\n' "$WINDOWS_STAGES" | sed -n 's/^skipped  *[0-9]* s  /skipped: /p'
}

work=$(mktemp -d /var/tmp/qd1600-ci.XXXXXX)
MOUNTS=()
XVFB_PID=

# Undone on every way out, failures and signals included: nothing may stay
# mounted, and the work folder goes only once nothing is mounted in it.
cleanup() {
    local status=$? root pid i
    trap - EXIT INT TERM HUP ERR
    [ -z "${build_root:-}" ] || WINDOWS_STAGES=$(cat "$build_root$src/build/windows/stages.txt" 2>/dev/null || true)
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    for root in "$work"/*-root; do
        [ -d "$root" ] || continue
        for pid in $(ls /proc | grep -E '^[0-9]+$'); do
            [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
        done
    done
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount -R "${MOUNTS[$i]}" 2>/dev/null || umount -R -l "${MOUNTS[$i]}" 2>/dev/null || true
    done
    if findmnt -rn -o TARGET | grep -q "^$work"; then
        echo "ci: mounts left under $work; not removing it" >&2
    else
        rm -rf --one-file-system "$work"
    fi
    summary "$status"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

bind() {
    mkdir -p "$2"
    mount --rbind "$1" "$2"
    mount --make-rslave "$2"
    MOUNTS+=("$2")
}

# A new root from the pristine base, with what builds and tests need.
new_root() {
    local root=$1
    mkdir -p "$root"
    tar -C "$root" -xf "$cache/$suite-base.tar"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    mkdir -p "$root/proc"
    mount -t proc proc "$root/proc"
    MOUNTS+=("$root/proc")
    bind /dev "$root/dev"
    bind /sys "$root/sys"
    mkdir -p "$cache/archives/partial"
    bind "$cache/archives" "$root/var/cache/apt/archives"
    # Packages with a service (PostgreSQL for the tests, which start their
    # own) install in a root without starting it, as in any chroot.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    # apt keeps what it downloads, for the next run.
    echo 'APT::Keep-Downloaded-Packages "true"; Binary::apt::APT::Keep-Downloaded-Packages "true";' \
        >"$root/etc/apt/apt.conf.d/90-keep"
}

in_root() {
    local root=$1
    shift
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        TERM=dumb "$@"
}

stage "pristine base root ($suite, cached in $cache)"
mkdir -p "$cache"
if [ $refresh = 1 ] || [ ! -s "$cache/$suite-base.tar" ] ||
    [ -n "$(find "$cache/$suite-base.tar" -mtime +7)" ]; then
    command -v mmdebstrap >/dev/null || {
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null
    }
    mmdebstrap --variant=apt --format=tar --quiet "$suite" "$cache/$suite-base.tar.new" "$mirror"
    mv "$cache/$suite-base.tar.new" "$cache/$suite-base.tar"
else
    echo "reusing $cache/$suite-base.tar from $(date -r "$cache/$suite-base.tar" +%F)"
fi

build_root=$work/build-root
stage "build root $build_root: the README's test command"
new_root "$build_root"
mkdir -p "$build_root$src"
git -C "$repo" ls-files -z --cached | (cd "$repo" && tar --null -T - -cf -) |
    tar -C "$build_root$src" -xf -
# Every compiler the build root runs (the presets' and the Windows cross
# compiler) goes through ccache, kept in $cache/ccache between runs: a warm
# run compiles only what changed. The source path is the same in every root,
# so nothing is rewritten and the objects are those the compiler would make.
# clang-tidy's passes are remembered beside it (scripts/tidy-cache.py).
mkdir -p "$cache/ccache" "$cache/tidy"
bind "$cache/ccache" "$build_root/var/cache/ccache"
bind "$cache/tidy" "$build_root/var/cache/qd1600-tidy"
compiler_cache=(CCACHE_DIR=/var/cache/ccache CCACHE_MAXSIZE=4G
    CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    QD_TIDY_CACHE=/var/cache/qd1600-tidy)
in_root "$build_root" "${compiler_cache[@]}" bash -c "cd $src && scripts/deps.sh ccache && ccache --zero-stats >/dev/null && scripts/test.sh"
# What the cache gave this run (a warm run compiles only what changed).
in_root "$build_root" "${compiler_cache[@]}" ccache --show-stats 2>/dev/null |
    grep -E '^ *(Hits|Misses|Cache size)' || true

stage "build root: the Debian package, as the README says"
in_root "$build_root" "${compiler_cache[@]}" bash -c "cd $src && cmake --workflow --preset package"
debs=("$build_root$src"/build/package/qd1600_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || {
    echo "ci: expected one .deb in build/package" >&2
    exit 1
}
deb=$(basename "${debs[0]}")

install_root=$work/install-root
stage "install root $install_root: apt-get install ./$deb"
new_root "$install_root"
cp "${debs[0]}" "$install_root/tmp/$deb"
in_root "$install_root" bash -c "apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ./tmp/$deb >/dev/null"

stage "install root: the installed programs, from /usr"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
board=(QD_BOARD=sim QD_BOARD_STATE=/tmp/board.state)
for link in 1 2; do
    out=$(in_root "$install_root" "${board[@]}" qdctl --link $link program --device QD1200 800) ||
        fail "qdctl --link $link program: $out"
    echo "link $link: $out"
    out=$(in_root "$install_root" "${board[@]}" qdctl --link $link read) ||
        fail "qdctl --link $link read: $out"
    echo "link $link: $out"
    [ "$out" = "2048 counts = 2.465 V" ] || fail "qdctl --link $link read: $out"
done

# Xvfb and xdotool come from the build root; the programs, from the install
# root, reach the display through its socket. Xvfb picks a free display
# itself (-displayfd): a fixed number can be taken by another server on this
# machine, whose abstract socket every root shares.
mkdir -p "$build_root/tmp/.X11-unix"
chmod 1777 "$build_root/tmp/.X11-unix"
in_root "$build_root" Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp \
    >"$work/xvfb.display" 2>"$work/xvfb.log" &
XVFB_PID=$!
bind "$build_root/tmp/.X11-unix" "$install_root/tmp/.X11-unix"
display=
for _ in $(seq 300); do
    display=$(head -n 1 "$work/xvfb.display" 2>/dev/null || true)
    [ -n "$display" ] && display=:$display && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
done
[ -n "$display" ] || fail "Xvfb started no display: $(cat "$work/xvfb.log")"
for program in QD1600 "QD1600(version2)" QD1600Bench; do
    title="^Device Selection$"
    [ "$program" != QD1600Bench ] || title="^QD1600 Bench$"
    in_root "$install_root" DISPLAY=$display QT_QPA_PLATFORM=xcb "${board[@]}" \
        "/usr/bin/$program" >"$work/program.log" 2>&1 &
    pid=$!
    found=
    for _ in $(seq 300); do
        if in_root "$build_root" DISPLAY=$display xdotool search --onlyvisible \
            --name "$title" >/dev/null 2>&1; then
            found=1
            break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    # The program may have ended on its own; then its log says why.
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ -n "$found" ] || fail "$program opened no window \"$title\" on $display: $(cat "$work/program.log")"
    echo "ok: /usr/bin/$program opens its window ($title)"
done

# No installed file may name the folders it was built in.
leaks=$(in_root "$install_root" bash -c \
    "dpkg -L qd1600 | while read -r f; do [ -f \"\$f\" ] && grep -l -a -F -e '$src' \"\$f\"; done" ||
    true)
[ -z "$leaks" ] || fail "installed files name the build folder $src: $leaks"
echo "ok: no installed file names $src"

stage "install root: the attacks of tests/hostile against the installed qdctl"
# python3 alone runs them; it comes after the package's own install check.
in_root "$install_root" bash -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends python3 >/dev/null"
mkdir -p "$install_root/tmp/hostile"
cp "$repo"/tests/hostile/*.py "$install_root/tmp/hostile/"
for attack in "$install_root"/tmp/hostile/*.py; do
    in_root "$install_root" python3 "/tmp/hostile/$(basename "$attack")" /usr/bin/qdctl
done

stage "build root: the Windows version, as the README says (scripts/windows.sh)"
mkdir -p "$windows_cache"
bind "$windows_cache" "$build_root/var/cache/qd1600-windows"
# QD_WINE=false shows what a machine that cannot run 32-bit programs does.
in_root "$build_root" "${compiler_cache[@]}" ${QD_WINE:+QD_WINE="$QD_WINE"} bash -c "cd $src && scripts/windows.sh"

stage "the firmware image: the same bytes in the .deb and the Windows zip"
zip=$(cd "$build_root$src/build/windows" && ls qd1600-*-win32.zip)
in_root "$build_root" python3 -c 'import sys, zipfile
sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("QD1600/QD1600.hex"))' \
    "$src/build/windows/$zip" >"$work/windows.hex"
cmp "$work/windows.hex" "$install_root/usr/lib/qd1600/QD1600.hex"
echo "ok: QD1600.hex in $zip and in $deb are the same $(stat -c %s "$work/windows.hex") bytes"

