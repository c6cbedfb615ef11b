#!/bin/sh
# Builds the Debian package from the build tree it runs in, unpacks it into a
# fresh directory and checks what an install would put on a machine: the
# files and nothing else, the control fields, the desktop entry and AppStream
# data against their validators and each other, lintian's verdict on the
# package as a whole, and a program that starts.
#   tst_package.sh <cpack> <build dir> <scratch dir> <version> <app id>
# Exits 77 (skipped) where the packaging or validating tools are missing.
set -u

cpack=$1
build=$2
work=$3
version=$4
appid=$5

skip() {
    echo "SKIP: $*"
    exit 77
}

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for tool in dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev desktop-file-validate:desktop-file-utils \
    appstreamcli:appstream lintian:lintian; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || skip "${tool%%:*} is missing (Debian package ${tool#*:})"
done
[ -x "$cpack" ] || skip "cpack is missing ($cpack)"
[ -f "$build/CPackConfig.cmake" ] || {
    echo "FAIL: $build has no CPackConfig.cmake: packaging/ did not include CPack"
    exit 1
}

pids=""
cleanup() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
}
trap cleanup EXIT
trap 'exit 1' INT TERM

rm -rf "$work"
mkdir -p "$work/out" "$work/root" "$work/run"

# --- the package -------------------------------------------------------------
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
arch=$(dpkg --print-architecture)
deb=$work/out/orbelith-server-gui_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
    cat "$work/cpack.log"
    echo "FAIL: no $(basename "$deb") (install instructions rely on that name); found:"
    ls "$work/out"
    exit 1
fi

dpkg-deb --info "$deb" >/dev/null || {
    echo "FAIL: dpkg-deb cannot read the package"
    exit 1
}

field() {
    dpkg-deb -f "$deb" "$1"
}
expect_field() {
    actual=$(field "$1")
    [ "$actual" = "$2" ] || fail "$1 is '$actual', expected '$2'"
}
expect_field Package orbelith-server-gui
expect_field Version "$version"
expect_field Architecture "$arch"
expect_field Maintainer "Orbelith team <team@example.org>"
expect_field Section net

[ "$(field Description | wc -l)" -gt 1 ] || fail "the Description is one line, with no long description"
# Where Start looks for the server, as the program does it (the manual page
# says the same).
looked_for='beside itself, in its working directory and on the PATH, in that order'
field Description | tr -s ' \n' '  ' | grep -qF "$looked_for" ||
    fail "the Description does not say where the server is looked for ('$looked_for')"

# Depends comes from dpkg-shlibdeps; each package is matched by its whole name.
depends=$(field Depends | tr ',|' '\n' | sed 's/^ *//; s/ .*//')
for package in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
    echo "$depends" | grep -qx "$package" || fail "Depends lacks $package: $(field Depends)"
done
echo "$depends" | grep -qx libqt6test6 && fail "Depends names Qt Test: the program links test code"

# --- the files ---------------------------------------------------------------
dpkg-deb -x "$deb" "$work/root" || {
    echo "FAIL: dpkg-deb -x could not unpack the package"
    exit 1
}
root=$work/root
usr=$root/usr
desktop=$usr/share/applications/$appid.desktop
metainfo=$usr/share/metainfo/$appid.metainfo.xml
binary=$usr/bin/orbelith-gui

(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\.||' | sort) >"$work/files.actual"
sort >"$work/files.expected" <<EOF
/usr/bin/orbelith-gui
/usr/share/applications/$appid.desktop
/usr/share/doc/orbelith-server-gui/changelog.gz
/usr/share/doc/orbelith-server-gui/copyright
/usr/share/icons/hicolor/16x16/apps/$appid.png
/usr/share/icons/hicolor/24x24/apps/$appid.png
/usr/share/icons/hicolor/32x32/apps/$appid.png
/usr/share/icons/hicolor/48x48/apps/$appid.png
/usr/share/icons/hicolor/64x64/apps/$appid.png
/usr/share/icons/hicolor/128x128/apps/$appid.png
/usr/share/icons/hicolor/256x256/apps/$appid.png
/usr/share/icons/hicolor/scalable/apps/$appid.svg
/usr/share/man/man1/orbelith-gui.1.gz
/usr/share/metainfo/$appid.metainfo.xml
EOF
if ! diff "$work/files.expected" "$work/files.actual" >"$work/files.diff"; then
    fail "the package holds other files than expected:"
    grep '^[<>]' "$work/files.diff" | sed 's/^</  missing:   /; s/^>/  unexpected:/'
fi

# Big-endian 32-bit integer at a byte offset of a file.
be32() {
    od -An -tu1 -j"$2" -N4 "$1" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }'
}
for size in 16 24 32 48 64 128 256; do
    png=$usr/share/icons/hicolor/${size}x${size}/apps/$appid.png
    [ -f "$png" ] || continue
    width=$(be32 "$png" 16)
    height=$(be32 "$png" 20)
    if [ "$width" != "$size" ] || [ "$height" != "$size" ]; then
        fail "the ${size}x${size} icon is ${width}x${height}"
    fi
done

if [ -f "$binary" ]; then
    [ -x "$binary" ] || fail "bin/orbelith-gui is not executable"
    magic=$(od -An -c -N4 "$binary" | tr -d ' ')
    [ "$magic" = '177ELF' ] || fail "bin/orbelith-gui is not an ELF program (starts with '$magic')"
fi

# --- what Debian asks of a package --------------------------------------------
# Lintian knows Debian's rules (copyright file, changelog, manual page, their
# compression, the control fields); its errors and warnings both fail.
# Informational tags remain: the hardening flags and stripping that only
# Debian's own build helpers apply.
if ! lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1; then
    cat "$work/lintian.log"
    fail "lintian finds errors or warnings in the package"
fi
# The manual page is written by hand: it must still describe every option
# that --help lists, which the installed program prints without a display.
manpage=$usr/share/man/man1/orbelith-gui.1.gz
if [ -f "$manpage" ] && [ -x "$binary" ]; then
    options=$(env -u DISPLAY -u WAYLAND_DISPLAY "$binary" --help | grep -o -- '--[a-z-]*' | sort -u)
    [ -n "$options" ] || fail "orbelith-gui --help lists no options"
    # The items of the page's lists, with groff's \- read as a minus.
    items=$(gzip -dc "$manpage" | sed -n '/^\.TP/{n;p;}' | sed 's/\\-/-/g')
    for option in $options; do
        echo "$items" | grep -q -e " $option\$" -e " $option," ||
            fail "the manual page does not describe $option, which --help lists"
    done
fi
changelog=$usr/share/doc/orbelith-server-gui/changelog.gz
if [ -f "$changelog" ]; then
    newest=$(gzip -dc "$changelog" | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
    [ "$newest" = "$version" ] ||
        fail "the newest changelog entry is '$newest', the package is $version: add an entry"
fi

# --- desktop entry and AppStream data ----------------------------------------
if [ -f "$desktop" ]; then
    # Hints count too: they point at menus showing the entry twice and the like.
    report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate rejects the entry"
    [ -z "$report" ] || fail "desktop-file-validate: $report"

    key() {
        sed -n "/^\[Desktop Entry\]/,/^\[/s/^$1=//p" "$desktop" | head -n 1
    }
    exec_program=$(key Exec | cut -d' ' -f1)
    [ "$exec_program" = orbelith-gui ] || fail "Exec= starts '$exec_program', not orbelith-gui"
    [ "$(key Icon)" = "$appid" ] || fail "Icon= is '$(key Icon)', the icons are installed as $appid"
    wm_class=$(key StartupWMClass)
    [ -n "$wm_class" ] || fail "the desktop entry names no StartupWMClass: docks cannot tie the window to it"
    # The plain entry returns to the folder the action chose last.
    [ "$(key Exec)" = "orbelith-gui --last-folder" ] || fail "Exec= is '$(key Exec)'"
    action=$(sed -n '/^\[Desktop Action open-folder\]/,/^\[/p' "$desktop")
    echo "$action" | grep -qx 'Name=Open a server folder\.\.\.' ||
        fail "no action \"Open a server folder...\" in the desktop entry"
    echo "$action" | grep -qx 'Exec=orbelith-gui --choose-folder' ||
        fail "the action \"Open a server folder...\" does not start the folder picker"
fi

if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net --strict --pedantic "$metainfo" >"$work/appstream.log" 2>&1 || {
        cat "$work/appstream.log"
        fail "appstreamcli validate rejects the metainfo file"
    }
    # The tree check also ties the metainfo file to its desktop entry.
    appstreamcli validate-tree --no-net --strict "$root" >"$work/appstream-tree.log" 2>&1 || {
        cat "$work/appstream-tree.log"
        fail "appstreamcli validate-tree rejects the installed files"
    }
    newest=$(sed -n 's/.*<release [^>]*version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
    [ "$newest" = "$version" ] ||
        fail "the newest release in the metainfo file is '$newest', the package is $version: add a <release>"
fi

# --- the program starts ------------------------------------------------------
# In a working directory and home of its own, as it writes its files there.
# On a real X server (Xvfb, with xdotool to look) its window must carry the
# class the desktop entry names, or docks cannot tie the two together;
# without one it runs offscreen and must merely stay up.
alive() {
    kill -0 "$1" 2>/dev/null
}

start_xvfb() {
    command -v Xvfb >/dev/null 2>&1 && command -v xdotool >/dev/null 2>&1 || return 1
    # Xvfb picks a free display and writes its number once it accepts clients.
    Xvfb -displayfd 3 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb=$!
    pids="$xvfb"
    tries=0
    while [ ! -s "$work/display" ] && alive "$xvfb" && [ $tries -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    if [ ! -s "$work/display" ]; then
        echo "Xvfb did not start, running offscreen instead: $(tail -n 3 "$work/xvfb.log")"
        return 1
    fi
    display=:$(head -n 1 "$work/display")
}

start_program() {
    mkdir -p "$work/home"
    (cd "$work/run" && exec env HOME="$work/home" "$@" "$binary") >"$work/program.log" 2>&1 &
    program=$!
    pids="$program $pids"
}

ended_at_start() {
    cat "$work/program.log"
    fail "the installed program ended at start"
}

if [ -f "$binary" ] && [ -x "$binary" ]; then
    if [ -n "${wm_class:-}" ] && start_xvfb; then
        start_program DISPLAY="$display" QT_QPA_PLATFORM=xcb
        if ! DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --class "^$wm_class\$" \
            >/dev/null 2>&1; then
            if alive "$program"; then
                fail "no window of class '$wm_class' (StartupWMClass) appeared within 20 s"
            else
                ended_at_start
            fi
        else
            echo "The program's window appeared on $display with class $wm_class"
        fi
    else
        start_program QT_QPA_PLATFORM=offscreen
        sleep 3
        if alive "$program"; then
            echo "The program stayed up offscreen (no X server to check its window class on)"
        else
            ended_at_start
        fi
    fi
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed; the package and the unpacked files are in $work"
    exit 1
fi
echo "PASS: $(basename "$deb") ($(field Depends))"
