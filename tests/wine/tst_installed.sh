#!/bin/sh
# What ships for Windows, run under Wine as an operator would run it, in a
# Wine prefix and on a desktop (Xvfb, icewm with its tray) of the test's own,
# with the system's ANSI code page 936 (Chinese, GBK), as Wine takes it from
# a locale of the test's own:
#   - the installer runs silently and installs the files of the zip, a Start
#     menu entry and an entry in the list of installed programs; the zip
#     holds one program, its console companion and the licences, at its top;
#   - unpacked into a server's folder that holds a GBK orbelithsrv.ini, the
#     program restores it and Start gives the test server, which reads its
#     configuration in the ANSI code page, the exact text, and a server that
#     reads its input keeps running; a character beyond the code page is
#     refused with nothing written; the server's own exit brings the window
#     back to Stopped, Stop ends a server that ignores it after the grace
#     period, Start works while a reader holds orbelithsrv.conf, minimize puts
#     the icon in the tray and a left press on it brings the window back, Exit
#     ends the program with status 0 and the server with it;
#   - started in a folder where a server runs whose file lies elsewhere, it
#     takes that server over, and closing the window ends the program with
#     status 0; orbelith-gui.com --status tells whether the server runs, by
#     its words and exit status; neither the installer nor the uninstaller
#     changes anything while the program runs; two orbelith-gui.com --start
#     at once in one folder launch one server and lose no log;
#   - the uninstaller removes every file it installed and nothing else.
# The window is driven through X with xdotool; every wait is for a state.
#
#   tst_installed.sh PACKAGES VERSION TESTSERVER CMAKE WORK
# Run it in a network namespace of its own (tests/netns-run.sh). With
# ORBELITH_SCREENSHOT=FILE it also takes a picture of the window and the
# About window into FILE.
set -u

packages=$1
version=$2
testserver=$3
cmake=$4
work=$5

failures=0
fail() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}
die() {
    printf 'FAIL: %s\n' "$*"
    exit 1
}
for program in wine wineserver Xvfb icewm xdotool localedef iconv; do
    command -v "$program" >/dev/null 2>&1 ||
        { echo "SKIP: $program is missing (scripts/setup.sh test installs it)"; exit 77; }
done
zip=$packages/orbelith-gui-$version-win64.zip
setup=$packages/orbelith-gui-$version-win64-setup.exe
[ -f "$zip" ] && [ -f "$setup" ] ||
    die "no $(basename "$zip") and $(basename "$setup") in $packages: build the windows_packages target of the Windows build (scripts/setup.sh test does)"

rm -rf "$work"
mkdir -p "$work/home" "$work/icewm" "$work/locale"
mkdir -m 700 "$work/runtime"
# Wine's ANSI code page comes from the locale's language: zh_CN gives 936.
localedef -i zh_CN -f UTF-8 "$work/locale/zh_CN.UTF-8" >"$work/localedef.log" 2>&1 ||
    { echo "SKIP: no zh_CN locale can be made (Debian's package locales has its source):"; cat "$work/localedef.log"; exit 77; }
export LOCPATH="$work/locale" LC_ALL=zh_CN.UTF-8
# Wine writes into the prefix and the home folder: both are the test's.
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" WINEPREFIX="$work/prefix" WINEDEBUG=-all
# No Mono or Gecko installers, no menu entries on the machine.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY QT_QPA_PLATFORM

xvfb=
wm=
gui=
cleanup() {
    [ -n "$gui" ] && kill "$gui" 2>/dev/null
    wineserver -k 2>/dev/null
    for pid in $wm $xvfb; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Waits until the command succeeds, at most a minute (so that a broken
# program fails rather than hangs).
until_true() {
    deadline=$(($(date +%s) + 60))
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# --- the desktop -------------------------------------------------------------
fifo=$work/display
mkfifo "$fifo"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$fifo" >"$work/xvfb.log" 2>&1 &
xvfb=$!
read -r number <"$fifo" || die "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$number"
printf '%s\n' 'Theme="default/default.theme"' TaskBarShowClock=0 TaskBarEnableSystemTray=1 \
    'TitleFontNameXft="DejaVu Sans,WenQuanYi Micro Hei:size=12"' >"$work/icewm/preferences"
ICEWM_PRIVCFG="$work/icewm" icewm >"$work/icewm.log" 2>&1 &
wm=$!
until_true xdotool search --name '^SystemTray$' || die "icewm came up without its tray: $(cat "$work/icewm.log")"

# --- install -------------------------------------------------------------------
wine wineboot --init >"$work/wineboot.log" 2>&1 || { echo "SKIP: Wine cannot start here:"; cat "$work/wineboot.log"; exit 77; }
windows_folder() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
unix_path() { winepath -u "$1" 2>/dev/null; }
windows_path() { winepath -w "$1" 2>/dev/null; }
programs_win="$(windows_folder LOCALAPPDATA)\\Programs\\Orbelith Server GUI"
start_menu=$(unix_path "$(windows_folder APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs")
installed=$(unix_path "$programs_win")
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\org.example.OrbelithServerGui'

wine "$setup" /S || fail "the silent install ended with status $?"
mkdir "$work/zip"
(cd "$work/zip" && "$cmake" -E tar xf "$zip") || die "cannot unpack $zip"
# One program to put beside the server, its console companion, the licences.
listing() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' '); }
[ "$(listing "$work/zip")" = "orbelith-gui-licenses.txt orbelith-gui.com orbelith-gui.exe " ] ||
    fail "the zip holds: $(listing "$work/zip")"
[ -d "$installed" ] || die "nothing installed in $programs_win"
differences=$(LC_ALL=C diff -r "$work/zip" "$installed" 2>&1 | grep -v "^Only in $installed: uninstall.exe$")
[ -z "$differences" ] || fail "the installed files are not those of the zip: $differences"
registered=$(wine reg query "$key" 2>/dev/null | tr -d '\r')
for value in "DisplayName    REG_SZ    Orbelith Server GUI" "DisplayVersion    REG_SZ    $version" \
    "UninstallString    REG_SZ    \"$programs_win\\uninstall.exe\""; do
    printf '%s\n' "$registered" | grep -qF "$value" || fail "the list of installed programs lacks '$value': $registered"
done
shortcut="$start_menu/Orbelith Server GUI.lnk"
tr -d '\0' <"$shortcut" 2>/dev/null | grep -qF 'orbelith-gui.exe' ||
    fail "no Start menu entry 'Orbelith Server GUI' that starts orbelith-gui.exe"

# --- processes and the window --------------------------------------------------
# This prefix's processes whose command line holds the text.
processes() {
    for file in $(grep -l -a -F "$1" /proc/[0-9]*/cmdline 2>/dev/null); do
        grep -q -a -z -x -F "WINEPREFIX=$WINEPREFIX" "${file%/cmdline}/environ" 2>/dev/null &&
            echo "${file%/cmdline}"
    done
}
running() { processes "$1" | grep -q .; }
not_running() { ! running "$1"; }
window() { xdotool search --onlyvisible --name '^OrbelithServer GUI$' | head -n 1; }
has_window() { [ -n "$(window)" ]; }
# Presses a button by its place in the window's client area.
press() { xdotool mousemove --window "$(window)" "$1" "$2" click 1; }
press_start() { press 340 432; }
press_stop() { press 456 432; }
press_exit() { press 600 480; }
log_has() { grep -qF "$1" "$folder/orbelith-gui-server.log"; }
# Presses until the text is in the log: a press that comes while the window
# is not yet back to Stopped finds Start disabled and does nothing.
start_until_logged() {
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        press_start
        deadline=$(($(date +%s) + 5))
        while [ "$(date +%s)" -lt "$deadline" ]; do
            log_has "$1" 2>/dev/null && return 0
            sleep 0.1
        done
    done
    return 1
}
stop_until_ended() {
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        press_stop
        deadline=$(($(date +%s) + 10))
        while [ "$(date +%s)" -lt "$deadline" ]; do
            not_running orbelithsrv.exe && return 0
            sleep 0.1
        done
    done
    return 1
}
steps() { printf '%s\r\n' "$@" >"$folder/teststeps.txt"; }

# --- the program unpacked into a server's folder -----------------------------------
folder="$work/Server Ωμέγα 服务器"
mkdir "$folder"
cp "$testserver" "$folder/orbelithsrv.exe"
(cd "$folder" && "$cmake" -E tar xf "$zip") || die "cannot unpack $zip into the server's folder"
# A log the server keeps by a name of its own, which is never touched.
printf 'the server%ss own\r\n' "'" >"$folder/orbelithsrv.log"
cp "$folder/orbelithsrv.log" "$work/servers-own.log"
# A character beyond the code page, in a file in UTF-8 as an earlier build
# wrote it: read as UTF-8, refused by Start with nothing written.
printf '[Last]\r\nServerName=服务器 \360\237\230\200\r\n' >"$folder/orbelithsrv.ini"
cp "$folder/orbelithsrv.ini" "$work/refused.ini"
refusal=$(wine "$programs_win\\orbelith-gui.com" --start "$(windows_path "$folder")" 2>&1)
status=$?
case "$status:$refusal" in
    1:*"ServerName holds "*"(U+1F600), a character that this system's code page (936) cannot hold"*) ;;
    *) fail "Start with a character beyond the code page exited with $status: $refusal" ;;
esac
cmp -s "$work/refused.ini" "$folder/orbelithsrv.ini" && [ ! -e "$folder/orbelithsrv.conf" ] ||
    fail "the refused Start wrote something: $(ls "$folder")"
# The last settings in GBK, as the system's own programs write them.
printf '[Last]\r\nServerName=服务器\r\nLocation=北京\r\nPort=27999\r\nPublic=0\r\nMotdLine=欢迎光临!@第二行@\r\n' |
    iconv -f UTF-8 -t GBK >"$folder/orbelithsrv.ini"
steps report conf say "first run" exit 3
(cd "$folder" && exec wine orbelith-gui.exe) >"$work/gui1.log" 2>&1 &
gui=$!
until_true has_window || die "the window did not come up: $(cat "$work/gui1.log")"
size=$(xdotool getwindowgeometry "$(window)" | sed -n 's/ *Geometry: //p')
[ "$size" = 646x510 ] || fail "the window's client area is $size, not 646x510"

# Start is enabled once the search for a running server has answered.
start_until_logged "first run" || fail "Start launched no server: $(ls "$folder")"
until_true not_running orbelithsrv.exe || fail "the server did not end"
# What the server read in the ANSI code page is what the operator typed.
for line in "conf: ServerName=服务器" "conf: Location=北京" "conf: Port=27999" "conf: Public=0" \
    "conf: MotdLine=欢迎光临!" "conf: MotdLine=第二行" "conf: AllowWebAccess=1" \
    "image=[$(windows_path "$folder")\\orbelithsrv.exe]" "showwindow=set,0" "consolewindow=none" "input=open"; do
    log_has "$line" || fail "no '$line' in the server's log: $(cat "$folder/orbelith-gui-server.log")"
done
iconv -f GBK -t UTF-8 "$folder/orbelithsrv.ini" | tr -d '\r' | grep -qx "ServerName=服务器" ||
    fail "orbelithsrv.ini was not written in GBK: $(od -c "$folder/orbelithsrv.ini" | head -n 4)"
cp "$folder/orbelithsrv.conf" "$work/first.conf"

# The server's own exit brought the window back to Stopped: Start starts again.
# This one reads its input, which must not end.
steps say "second run" stubborn read ready wait
start_until_logged "ready" || fail "Start did nothing after the server had exited by itself"
grep -qF "first run" "$folder/orbelith-gui-server.log.1" || fail "the first run's log was not kept as .log.1"
# This one ignores being asked: Stop ends it when the grace period is over.
press_stop
until_true not_running orbelithsrv.exe || fail "Stop did not end the server"
log_has "ignored: WM_CLOSE" && ! log_has "input ended" ||
    fail "the server did not run until Stop asked it: $(cat "$folder/orbelith-gui-server.log")"

# Minimized, into the tray; a left press on the icon brings it back.
# Wine docks its tray icons, windows of its explorer.exe, in the X tray.
tray_icon() { xdotool search --onlyvisible --classname '^explorer\.exe$' | head -n 1; }
in_tray() { [ -n "$(tray_icon)" ]; }
not_in_tray() { [ -z "$(tray_icon)" ]; }
no_window() { ! has_window; }
xdotool windowminimize "$(window)"
until_true in_tray || fail "minimize put no icon in the tray"
until_true no_window || fail "the minimized window is still shown"
xdotool mousemove --window "$(tray_icon)" 8 8 click 1
until_true has_window || fail "a left press on the tray icon did not bring the window back"
until_true not_in_tray || fail "the tray icon stayed after the window came back"

# Stop's end brought the window back to Stopped too. A reader holds the
# configuration so that it cannot be replaced, only written: Start writes it
# in place. Exit ends the program and the server it runs.
cp "$testserver" "$work/holder.exe"
(cd "$folder" && exec wine "$work/holder.exe" hold orbelithsrv.conf ready wait) >"$work/holder.log" 2>&1 &
holder=$!
until_true grep -qF ready "$work/holder.log" || fail "nothing holds orbelithsrv.conf"
echo stale >"$folder/orbelithsrv.conf"
steps say "third run" window ready wait
start_until_logged "third run" || fail "Start did nothing after Stop, with orbelithsrv.conf held open"
cmp "$work/first.conf" "$folder/orbelithsrv.conf" || fail "the held orbelithsrv.conf was not written"
kill "$holder" && wait "$holder"
press_exit
status=0
wait "$gui" || status=$?
gui=
[ "$status" -eq 0 ] || fail "Exit ended the program with status $status"
until_true not_running orbelith || fail "something is left running after Exit: $(grep -l -a orbelith /proc/[0-9]*/cmdline 2>/dev/null)"
cmp "$work/servers-own.log" "$folder/orbelithsrv.log" || fail "the server's own orbelithsrv.log was touched"

# --- a server left running, taken over at start-up ----------------------------------
# Its file lies elsewhere: it is known by the folder it works in.
mkdir "$work/elsewhere"
cp "$testserver" "$work/elsewhere/orbelithsrv.exe"
(cd "$folder" && exec wine "$work/elsewhere/orbelithsrv.exe" say "by hand" window ready wait) >"$work/byhand.log" 2>&1 &
hand=$!
until_true grep -qF ready "$work/byhand.log" || fail "the server started by hand did not come up"
# The console companion answers scripts, with the exit status they read.
companion() { wine "$programs_win\\orbelith-gui.com" "$@" "$(windows_path "$folder")" 2>&1 | tr -d '\r'; }
answer=$(companion --status)
case "$answer" in
    "Orbelith Server is running (PID "*) ;;
    *) fail "orbelith-gui.com --status said: $answer" ;;
esac
(cd "$folder" && exec wine "$programs_win\\orbelith-gui.exe") >"$work/gui2.log" 2>&1 &
gui=$!
until_true has_window || die "the window did not come up again: $(cat "$work/gui2.log")"
# While it runs, neither an upgrade nor an uninstall: silently, status 2 and
# nothing changed (the uninstaller run in place, so that its status is its own).
wine "$setup" /S
status=$?
printf '"%s\\uninstall.exe" /S _?=%s\r\nexit %%errorlevel%%\r\n' "$programs_win" "$programs_win" >"$work/uninstall.bat"
wine cmd /c "$(windows_path "$work/uninstall.bat")" >/dev/null 2>&1
status="$status,$?"
[ "$status" = 2,2 ] || fail "the installer and the uninstaller under the running program exited with $status"
differences=$(LC_ALL=C diff -r "$work/zip" "$installed" 2>&1 | grep -v "^Only in $installed: uninstall.exe$")
[ -z "$differences" ] && wine reg query "$key" >/dev/null 2>&1 || fail "they changed the install: $differences"
if [ -n "${ORBELITH_SCREENSHOT:-}" ]; then
    # The main window, its status line telling of the server, and the About
    # window beside it.
    xdotool windowmove --sync "$(window)" 20 40
    press 540 480
    until_true xdotool search --onlyvisible --name '^关于$'
    xdotool windowmove --sync "$(xdotool search --onlyvisible --name '^关于$' | head -n 1)" 700 324 \
        mousemove 1200 1000
    sleep 1
    import -window root -crop 1030x570+5+5 +repage "$ORBELITH_SCREENSHOT"
fi
# Stop is enabled only for a server the window shows as running.
stop_until_ended || fail "the window did not take over the server left running"
wait "$hand" 2>/dev/null
wine "$programs_win\\orbelith-gui.com" --status "$(windows_path "$folder")" >"$work/status.log" 2>&1
status=$?
[ "$status" -eq 3 ] || fail "orbelith-gui.com --status of a stopped server exited with $status: $(cat "$work/status.log")"
xdotool windowactivate --sync "$(window)" key --clearmodifiers alt+F4
status=0
wait "$gui" || status=$?
gui=
[ "$status" -eq 0 ] || fail "closing the window ended the program with status $status"

# --- two Starts at once in one folder, as two scheduled scripts may meet --------------
# Each round: one launches, the other finds it running; one server runs, and
# the log of the round before is kept.
for round in 1 2 3; do
    steps say "round $round" window ready wait
    # Into files: under Wine the server inherits the Unix side of a pipe.
    for start in a b; do
        wine "$programs_win\\orbelith-gui.com" --start "$(windows_path "$folder")" >"$work/start-$start.log" 2>&1 &
        eval "$start=\$!"
    done
    wait "$a"; sa=$?; wait "$b"; sb=$?
    answers=$(tr -d '\r' <"$work/start-a.log"; tr -d '\r' <"$work/start-b.log")
    pid=$(printf '%s\n' "$answers" | sed -n 's/^Orbelith Server started\.\.\.\. (PID \([0-9]*\))$/\1/p')
    printf '%s\n' "$answers" | grep -qx "Orbelith Server is already running (PID ${pid:-none})" &&
        [ "$(processes orbelithsrv.exe | wc -l)" -eq 1 ] || fail "round $round: $answers (exit $sa, $sb; $(processes orbelithsrv.exe | wc -l) running)"
    until_true log_has "round $round" || fail "round $round's server wrote no log"
    [ "$round" -eq 1 ] || grep -qF "round $((round - 1))" "$folder/orbelith-gui-server.log.1" ||
        fail "round $((round - 1))'s log was lost"
    companion --stop >/dev/null
done

# --- uninstall -------------------------------------------------------------------
# A server's files kept in the program's folder are the user's.
cp "$folder/orbelithsrv.conf" "$installed/orbelithsrv.conf"
wine "$installed/uninstall.exe" /S
gone() { ! wine reg query "$key"; }
until_true gone || fail "the uninstaller left the entry in the list of installed programs"
[ "$(listing "$installed")" = "orbelithsrv.conf " ] ||
    fail "the uninstaller did not remove exactly what was installed: $(listing "$installed")"
[ -e "$shortcut" ] && fail "the uninstaller left the Start menu entry"
[ -f "$folder/orbelithsrv.ini" ] && [ -f "$folder/orbelithsrv.exe" ] || fail "the uninstaller touched the server's folder"

if [ "$failures" -eq 0 ]; then
    echo "PASS: installed, ran and uninstalled under Wine"
fi
[ "$failures" -eq 0 ]
