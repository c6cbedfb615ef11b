#!/bin/sh
# Builds Qt for 64-bit Windows once per machine, from Debian's own source
# package of the host's Qt (qt6-base), with mingw-w64, and prints the folder it
# is installed in as the last line of its output.
#
#   scripts/qt-windows.sh
#
# The result lives outside the clone, in
#   ${ORBELITH_CACHE:-${XDG_CACHE_HOME:-~/.cache}/orbelith-gui}/qt-VERSION-win64-HASH
# named by the Qt version and a hash of the configure options, and is reused
# while both are unchanged. It is installed under a temporary name and renamed
# when complete, so that a build cut short is never taken for a finished one.
# A cold build takes about half an hour on 2 cores; the full log is kept in
# the cache folder.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${ORBELITH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orbelith-gui}
jobs=${ORBELITH_JOBS:-2}

say() { echo "qt-windows: $*" >&2; }
fail() { say "$*"; exit 1; }

version=$(dpkg-query -W -f '${Version}' qt6-base-dev 2>/dev/null) ||
    fail "the host's Qt (qt6-base-dev) is not installed; its tools build Qt for Windows"
upstream=${version%%+*}
upstream=${upstream%%-*}

# Only what the program links: Core, Gui and Widgets, the Windows platform
# plugin and the style plugin. Every other module and feature stays out, which
# also keeps the cold build short. wintab (for tablets) is left out of Debian's
# source, hence no tablet events. Static, so that the program is one exe that
# an operator copies beside the server, with no DLL whose name a server may
# ship too.
options="-DCMAKE_BUILD_TYPE=Release
-DBUILD_SHARED_LIBS=OFF
-DQT_HOST_PATH=/usr
-DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
-DQT_BUILD_EXAMPLES=OFF
-DQT_BUILD_TESTS=OFF
-DQT_BUILD_BENCHMARKS=OFF
-DFEATURE_network=OFF
-DFEATURE_xml=OFF
-DFEATURE_sql=OFF
-DFEATURE_testlib=OFF
-DFEATURE_dbus=OFF
-DFEATURE_printsupport=OFF
-DFEATURE_concurrent=OFF
-DINPUT_opengl=no
-DFEATURE_tabletevent=OFF
-DFEATURE_jpeg=OFF
-DFEATURE_gif=OFF
-DFEATURE_ico=OFF
-DFEATURE_vulkan=OFF"
toolchain_source=$top/cmake/mingw-w64-x86_64-posix.cmake
hash=$( (echo "$version"; echo "$options"; cat "$toolchain_source") | sha256sum | cut -c1-12)
name=qt-$version-win64-$hash
prefix=$cache/$name

if [ -x "$prefix/bin/qt-cmake" ] && [ -f "$prefix/.complete" ]; then
    say "reusing Qt $version for Windows in $prefix"
    echo "$prefix"
    exit 0
fi

for tool in x86_64-w64-mingw32-g++-posix cmake ninja dpkg-source apt-get; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh test installs what is needed)"
done

mkdir -p "$cache"
# One build at a time per cache; a second caller waits, then reuses it.
exec 9>"$cache/.lock"
if ! flock -n 9; then
    say "another build of Qt for Windows is running; waiting for it"
    flock 9
fi
if [ -x "$prefix/bin/qt-cmake" ] && [ -f "$prefix/.complete" ]; then
    say "reusing Qt $version for Windows in $prefix"
    echo "$prefix"
    exit 0
fi

log=$cache/$name.log
: >"$log"
started=$(date +%s)
elapsed() {
    s=$(($(date +%s) - started))
    printf '%d min %02d s' $((s / 60)) $((s % 60))
}
say "Qt $version for Windows is not built on this machine yet: building it once, into $prefix"
say "this takes about half an hour on 2 cores (full log: $log)"

# The source: Debian's package of the host's Qt, from bookworm's main, read
# through an apt configuration of this script's own, so the machine's own apt
# sources and lists stay as they were.
work=$cache/work-$hash
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/src"
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$work/sources.list"
apt_opts="-q -o Dir::Etc::SourceList=$work/sources.list -o Dir::Etc::SourceParts=/nonexistent
    -o Dir::State::Lists=$work/lists -o Dir::Cache::Archives=$work/archives -o Debug::NoLocking=1
    -o APT::Sandbox::User=root"
say "[$(elapsed)] fetching the source package qt6-base $version"
# shellcheck disable=SC2086
apt-get $apt_opts update >>"$log" 2>&1 || fail "apt-get update for the source lists failed (see $log)"
# shellcheck disable=SC2086
(cd "$work/src" && apt-get $apt_opts source --download-only "qt6-base=$version") >>"$log" 2>&1 ||
    fail "could not fetch the source of qt6-base $version (see $log)"
say "[$(elapsed)] unpacking it, with Debian's patches"
(cd "$work/src" && dpkg-source -x ./*.dsc qt6-base) >>"$log" 2>&1 || fail "could not unpack the source (see $log)"

# The toolchain file is kept beside the result: Qt's own qt-cmake chains it.
toolchain=$cache/toolchain-$hash.cmake
cp "$toolchain_source" "$toolchain"

say "[$(elapsed)] configuring (under a minute)"
# shellcheck disable=SC2086
cmake -S "$work/src/qt6-base" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" $options >>"$log" 2>&1 ||
    fail "configuring Qt failed (see $log)"

steps=$(ninja -C "$work/build" -n 2>/dev/null | grep -c '^\[' || true)
say "[$(elapsed)] building: $steps steps with $jobs jobs; a line every 100 steps"
# Ninja's own progress, thinned out; everything goes into the log.
if ! ninja -C "$work/build" -j "$jobs" 2>&1 | tee -a "$log" | {
    n=0
    while IFS= read -r line; do
        case "$line" in
            \[*) n=$((n + 1)); [ $((n % 100)) -eq 0 ] && say "[$(elapsed)] ${line%%]*}]" ;;
        esac
    done
    true
}; then
    fail "building Qt failed (see $log)"
fi
# tee hides ninja's status: the installed tree tells whether it finished.
ninja -C "$work/build" -j "$jobs" >>"$log" 2>&1 || fail "building Qt failed (see $log)"

say "[$(elapsed)] installing"
staging=$cache/.staging-$hash
rm -rf "$staging"
DESTDIR=$staging cmake --install "$work/build" >>"$log" 2>&1 || fail "installing Qt failed (see $log)"
touch "$staging$prefix/.complete"
rm -rf "$prefix"
mv "$staging$prefix" "$prefix"
rm -rf "$staging" "$work"
say "[$(elapsed)] Qt $version for Windows is ready in $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$prefix"
