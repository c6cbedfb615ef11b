#!/bin/sh
# Redoes docs/screenshot.png: the main window with its starting values, just
# after Start (the stand-in server beside the program), and the About window,
# on a desktop of their own (Xvfb and icewm). Run it where the local address
# is loopback: tests/netns-run.sh tests/desktop/make-screenshot.sh Everything it
# starts it ends again, by process id. With a scale of 2 (QT_SCALE_FACTOR, as
# on a high-density screen) it writes docs/screenshot@2x.png instead.
#
#   tests/desktop/make-screenshot.sh [path/to/orbelith-gui] [1|2]
#
# Needs Xvfb, icewm, xdotool, imagemagick (import) and the Liberation and
# WenQuanYi fonts.
set -eu

repo=$(cd "$(dirname "$0")/../.." && pwd)
gui=${1:-$repo/build/bin/orbelith-gui}
scale=${2:-1}
case "$scale" in
    1) out=$repo/docs/screenshot.png ;;
    2) out=$repo/docs/screenshot@2x.png ;;
    *) echo "scale must be 1 or 2" >&2; exit 2 ;;
esac
[ -x "$gui" ] || { echo "no program at $gui: build the orbelith-gui target first" >&2; exit 1; }
# It is started from a folder of its own.
gui=$(cd "$(dirname "$gui")" && pwd)/$(basename "$gui")

work=$(mktemp -d)
xvfb_pid=
wm_pid=
gui_pid=
cleanup() {
    for pid in $gui_pid $wm_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM


# Waits up to five seconds for a command to succeed.
retry() {
    n=0
    until "$@" >/dev/null 2>&1; do
        n=$((n + 1))
        [ $n -lt 50 ] || { echo "gave up waiting for: $*" >&2; return 1; }
        sleep 0.1
    done
}

Xvfb -displayfd 3 -screen 0 $((1280 * scale))x$((1024 * scale))x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
retry grep -q . "$work/display"
DISPLAY=:$(cat "$work/display")
export DISPLAY

mkdir -m 700 "$work/icewm" "$work/runtime" "$work/run"
cat >"$work/icewm/preferences" <<'PREFS'
Theme="default/default.theme"
TaskBarShowClock=0
TitleFontNameXft="DejaVu Sans,WenQuanYi Micro Hei:size=12"
PREFS
ICEWM_PRIVCFG=$work/icewm icewm 2>"$work/icewm.log" &
wm_pid=$!
retry xdotool search --name '^TaskBar$'

# Qt must not look for a desktop bus; the program writes nothing until Start.
(cd "$work/run" && exec env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb \
    QT_SCALE_FACTOR="$scale" "$gui") \
    2>"$work/gui.log" &
gui_pid=$!
retry xdotool search --onlyvisible --name '^OrbelithServer GUI$'
main=$(xdotool search --onlyvisible --name '^OrbelithServer GUI$' | head -n 1)

# The main window top left, Start pressed, so that the status line speaks and
# the focus is on Stop; About beside it, on the right.
xdotool windowmove --sync "$main" 10 30
xdotool mousemove --window "$main" $((350 * scale)) $((432 * scale)) click 1
retry test -e "$work/run/orbelith-gui-server.log"
xdotool mousemove --window "$main" $((520 * scale)) $((480 * scale)) click 1
retry xdotool search --onlyvisible --name '^关于$'
about=$(xdotool search --onlyvisible --name '^关于$' | head -n 1)
geometry() { xdotool getwindowgeometry --shell "$1" | sed -n "s/^$2=//p"; }
xdotool windowmove --sync "$about" $(($(geometry "$main" X) + $(geometry "$main" WIDTH) + 20)) $((290 * scale))
xdotool mousemove $((1200 * scale)) $((1000 * scale))
sleep 1

# Both windows with their frames, and a small margin.
left=$(($(geometry "$main" X) - 10))
top=$(($(geometry "$main" Y) - 34))
right=$(($(geometry "$about" X) + $(geometry "$about" WIDTH) + 15))
bottom=$(($(geometry "$main" Y) + $(geometry "$main" HEIGHT) + 15))
[ $left -ge 0 ] || left=0
[ $top -ge 0 ] || top=0
mkdir -p "$(dirname "$out")"
import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$out"
echo "wrote $out ($((right - left))x$((bottom - top)))"
