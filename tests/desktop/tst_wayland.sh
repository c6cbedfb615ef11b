#!/bin/sh
# The program on a Wayland session, in Debian's weston with its headless
# backend and Xwayland:
#   - with the session's variables and no QT_QPA_PLATFORM its window comes up
#     on the Xwayland display, where minimizing is reported;
#   - with QT_QPA_PLATFORM=wayland, the user's choice, it runs natively and
#     nothing comes up there.
# weston's X window manager ignores iconify requests and Xwayland takes no
# synthetic input, so minimize-to-tray itself is proven on Xvfb.
#
#   tests/desktop/tst_wayland.sh path/to/orbelith-gui
set -eu

gui=$1
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
for program in weston Xwayland xdotool; do
    command -v "$program" >/dev/null 2>&1 || skip "$program is not installed"
done

work=$(mktemp -d)
pids=
# Ends a process it started, by id, and waits for it at most ten seconds
# before it kills it.
stop() {
    kill "$1" 2>/dev/null || return 0
    n=0
    while kill -0 "$1" 2>/dev/null && [ $n -lt 100 ]; do
        n=$((n + 1))
        sleep 0.1
    done
    kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    for pid in $pids; do
        stop "$pid"
    done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
mkdir -m 700 "$work/runtime" "$work/run"
export XDG_RUNTIME_DIR="$work/runtime"

# Waits up to 30 seconds for a command to succeed.
until_true() {
    deadline=$(($(date +%s) + 30))
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

weston --backend=headless-backend.so --xwayland --socket=wayland-test --idle-time=0 \
    --log="$work/weston.log" >/dev/null 2>&1 &
weston=$!
pids=$weston
if ! until_true grep -q 'xserver listening on display' "$work/weston.log"; then
    kill -0 "$weston" 2>/dev/null || skip "weston does not run here: $(tail -n 5 "$work/weston.log" 2>/dev/null)"
    fail "weston started no Xwayland: $(tail -n 5 "$work/weston.log")"
fi
display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$work/weston.log" | head -n 1)

# Xwayland starts with its first client, which can take a while on a busy machine.
on_xwayland() { DISPLAY=$display timeout 10 xdotool search --name '^OrbelithServer GUI$'; }

# The session as a Wayland desktop gives it, without a platform chosen.
(cd "$work/run" && exec env -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS XDG_SESSION_TYPE=wayland \
    WAYLAND_DISPLAY=wayland-test DISPLAY="$display" "$gui") >"$work/gui.log" 2>&1 &
gui_pid=$!
pids="$gui_pid $pids"
until_true on_xwayland || fail "no window on the Xwayland display $display: $(tail -n 5 "$work/gui.log")"
echo "PASS: without QT_QPA_PLATFORM the window is on Xwayland ($display)"
stop "$gui_pid"
pids=$weston
until_true sh -c "! DISPLAY=$display timeout 10 xdotool search --name '^OrbelithServer GUI$'" ||
    fail "the window stayed"

# The user's choice wins: natively on Wayland, where the client's own
# protocol log shows the window's title being set.
(cd "$work/run" && exec env -u DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 \
    XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-test DISPLAY="$display" "$gui") >"$work/native.log" 2>&1 &
gui_pid=$!
pids="$gui_pid $pids"
until_true grep -q 'set_title("OrbelithServer GUI")' "$work/native.log" ||
    fail "no native window: $(grep -v '^\[' "$work/native.log" | tail -n 5)"
if on_xwayland >/dev/null 2>&1; then
    fail "with QT_QPA_PLATFORM=wayland the window came up on Xwayland"
fi
echo "PASS: with QT_QPA_PLATFORM=wayland the window is native"
