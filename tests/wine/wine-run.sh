#!/bin/sh
# Runs a cross-built Windows test program under Wine, headless, in a Wine
# prefix of the build's own (created on first use):
#   wine-run.sh PREFIX PROGRAM ARGS...
#   wine-run.sh --netns PREFIX PROGRAM localip
# With --netns the program runs in a network namespace of its own, with a copy
# of the prefix whose Wine starts inside it, so that it sees only the
# namespace's adapters; it is run twice there, with loopback alone and with a
# down and an up adapter (bridges without ports, IPv6 off: nothing is sent,
# and nothing could leave the namespace).
# Exits with 77 (skipped) only where Wine cannot start.
set -eu

netns=no
if [ "${1:-}" = --netns ]; then
    netns=yes
    shift
fi
prefix=$1
shift

if ! command -v wine >/dev/null 2>&1; then
    echo "SKIP: Wine is not installed (scripts/setup.sh test installs wine and wine64)" >&2
    exit 77
fi

export WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
xvfb=

# Wine opens windows (a server's, which Stop sends WM_CLOSE) only on an X
# display: a virtual one of the test's own, on a free display number.
start_display() {
    if ! command -v Xvfb >/dev/null 2>&1; then
        echo "Xvfb is not installed (scripts/setup.sh test installs xvfb)" >&2
        exit 1
    fi
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$fifo" >/dev/null 2>&1 &
    xvfb=$!
    number=
    read -r number <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        exit 1
    fi
    export DISPLAY=":$number"
}
stop_display() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
}
trap stop_display EXIT

make_prefix() {
    if [ ! -f "$1/system.reg" ]; then
        if ! WINEPREFIX=$1 wine wineboot --init >"$1.boot.log" 2>&1; then
            echo "SKIP: Wine cannot start here (wineboot --init failed):" >&2
            cat "$1.boot.log" >&2
            exit 77
        fi
    fi
    # Let the prefix's Wine finish writing its registry.
    WINEPREFIX=$1 wineserver --wait
}

if [ "$netns" = no ]; then
    make_prefix "$prefix"
    start_display
    export WINEPREFIX="$prefix"
    status=0
    wine "$@" || status=$?
    # End what a failed test may have left running, in this prefix only,
    # before its display goes.
    wineserver --kill 2>/dev/null || true
    exit $status
fi

if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot create a network namespace here (unshare -n is not permitted; run as root)" >&2
    exit 77
fi
make_prefix "$prefix"
copy=$prefix-netns
rm -rf "$copy"
cp -a "$prefix" "$copy"
program=$1
shift
status=0
unshare -n sh -eu -c '
    export WINEPREFIX=$1
    program=$2
    ip link set lo up
    status=0
    wine "$program" localip 127.0.0.1 || status=1
    wineserver --kill 2>/dev/null || true
    # The first adapter is down, so the second one s address is the answer.
    sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 >/dev/null 2>&1 || true
    ip link add orbdown type bridge
    ip addr add 198.51.100.9/24 dev orbdown
    ip link add orbup type bridge
    ip addr add 192.0.2.7/24 dev orbup
    ip link set orbup up
    wine "$program" localip 192.0.2.7 || status=1
    wineserver --kill 2>/dev/null || true
    exit $status
' wine-netns "$copy" "$program" || status=$?
rm -rf "$copy"
exit $status
