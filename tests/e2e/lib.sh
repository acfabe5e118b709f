# Helpers for driving the installed programs under Xvfb with real input
# events. Sourced by the end-to-end scripts.

fail() {
    echo "FAIL: $*" >&2
    local log
    for log in ${PROGRAM_LOGS:-}; do
        [ -s "$log" ] && { echo "--- $log:" >&2; cat "$log" >&2; }
    done
    exit 1
}

# Programs started by a script; killed when it exits, however it exits.
PROGRAMS=()
kill_programs() {
    local pid
    for pid in "${PROGRAMS[@]}"; do
        kill -9 "$pid" 2>/dev/null || true
    done
    return 0
}

# Starts Xvfb on a free display and exports DISPLAY; stopped on exit. Xvfb
# picks the display itself (-displayfd), so tests started together never
# share one.
start_display() {
    local numbers n
    numbers=$(mktemp)
    Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset >"$numbers" 2>/dev/null &
    XVFB_PID=$!
    for _ in $(seq 100); do
        n=$(head -n 1 "$numbers")
        if [ -n "$n" ]; then
            rm -f "$numbers"
            export DISPLAY=":$n"
            for _ in $(seq 50); do
                xdpyinfo >/dev/null 2>&1 && return 0
                sleep 0.1
            done
            break
        fi
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$numbers"
    fail "no X display could be started"
}

stop_display() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null && { wait "$XVFB_PID" 2>/dev/null || true; }
    return 0
}

# Waits up to 10 s for a visible window whose title matches; its id goes to
# WINDOW. Not to be called in a subshell, so that a failure ends the script.
find_window() {
    local id
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
        if [ -n "$id" ]; then
            WINDOW=$id
            return 0
        fi
        sleep 0.1
    done
    fail "no window \"$1\""
}

# Clicks at x,y inside a window; the pointer stays there, so keys typed next
# go to that window.
click_at() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
    sleep 0.3
}

# Waits up to 10 s for a started program to end; its exit status goes to
# STATUS. Not to be called in a subshell: only the parent can wait.
wait_exit() {
    local pid=$1
    for _ in $(seq 100); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            STATUS=$?
            return 0
        fi
        sleep 0.1
    done
    fail "the program did not end"
}
