#!/bin/sh
# Installs what is missing, builds, and then runs the program or the tests.
#   scripts/setup.sh run    build and start the GUI (in build/run, with the
#                           stand-in server beside it)
#   scripts/setup.sh test   build and run every test, then again under
#                           AddressSanitizer and UndefinedBehaviorSanitizer,
#                           then fuzz the core for half a minute per target,
#                           then run the Windows backend's tests under Wine,
#                           then build the Windows packages (and, once per
#                           machine, Qt for Windows) and run what they
#                           install under Wine
#   scripts/setup.sh windows  build the Windows zip and installer in
#                           build-win/packages (and, once per machine, Qt for
#                           Windows, in a cache outside the clone)
#   scripts/setup.sh soak   build and run the long Start/Stop soak test
#   scripts/setup.sh bench  build with optimization and run the benchmark
set -eu

mode=${1:-}
case "$mode" in
    run|test|windows|soak|bench) ;;
    *) echo "usage: $0 run|test|windows|soak|bench" >&2; exit 2 ;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build_packages="g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libxkbcommon-dev libxcb1-dev
    fonts-liberation fonts-wqy-microhei"
run_packages="xdg-utils"
# Qt for Windows comes from Debian's source package (dpkg-source unpacks it).
windows_packages="g++-mingw-w64-x86-64 dpkg-dev nsis"
test_packages="iproute2 util-linux xvfb xauth icewm xdotool dpkg-dev desktop-file-utils appstream lintian
    clang libclang-rt-14-dev dbus at-spi2-core python3-pyatspi python3-dbus python3-gi weston xwayland qt6-wayland
    wine wine64 locales $windows_packages"
bench_packages="xvfb xauth"
case "$mode" in
    run) packages="$build_packages $run_packages" ;;
    windows) packages="$build_packages $windows_packages" ;;
    bench) packages="$build_packages $bench_packages" ;;
    *) packages="$build_packages $test_packages" ;;
esac

missing=""
for p in $packages; do
    if ! dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q
        # shellcheck disable=SC2086
        apt-get install -y -q --no-install-recommends $missing
    else
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install --no-install-recommends$missing" >&2
        exit 1
    fi
fi

configure() {
    dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@"
}

if [ "$mode" = run ]; then
    configure build
    cmake --build build -j2 --target orbelith-gui orbelithsrv
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
        echo "No display (DISPLAY is not set): run this from a desktop session, or under a virtual one: xvfb-run -a $0 run" >&2
        exit 1
    fi
    # A working directory of its own: Start writes the server's files there.
    mkdir -p build/run
    cd build/run
    exec ../bin/orbelith-gui
fi

# Qt for Windows from Debian's source, built once per machine into a cache
# outside the clone (about 18 minutes on 2 cores), then the program and its zip
# and installer in build-win/.
build_windows() {
    qt=$(scripts/qt-windows.sh)
    qt=$(echo "$qt" | tail -n 1)
    # qt-cmake names its toolchain again on every run: no warning for that.
    "$qt/bin/qt-cmake" -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli
    cmake --build build-win -j2 --target windows_packages
}

if [ "$mode" = windows ]; then
    build_windows
    exit 0
fi

if [ "$mode" = bench ]; then
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBELITH_BUILD_TESTS=OFF
    cmake --build build-bench -j2
    exec build-bench/bin/orbelith-bench
fi

# The Windows stage leaves its packages in build-win/packages, where the
# test of what they install looks for them.
configure build -DORBELITH_BUILD_TESTS=ON -DORBELITH_WINDOWS_PACKAGES="$top/build-win/packages"
if [ "$mode" = soak ]; then
    cmake --build build -j2
    cd build
    exec ctest --output-on-failure --no-tests=error -L soak
fi

# Every stage runs even when an earlier one failed, and the last line sums
# them all up, so that one stage's failure is never lost in another's output.
summary=""
failed=0
stage() {
    name=$1
    shift
    echo "=== stage: $name ==="
    # Not in an if: there the shell would ignore set -e inside the stage.
    set +e
    ( set -e; "$@" )
    status=$?
    set -e
    if [ "$status" -eq 0 ]; then
        result=passed
    else
        result=FAILED
        failed=$((failed + 1))
    fi
    echo "=== stage: $name $result ==="
    summary="$summary${summary:+, }$name $result"
}

normal_stage() {
    cmake --build build -j2
    # The soak test takes minutes: it has a command of its own. The Wine
    # tests come last, in stages of their own.
    cd build
    ctest --output-on-failure --no-tests=error -j2 -LE 'soak|wine|windows'
}

asan_stage() {
    configure build-asan -DORBELITH_BUILD_TESTS=ON -DORBELITH_BUILD_BENCH=OFF -DORBELITH_SANITIZE=ON
    cmake --build build-asan -j2
    cd build-asan
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ctest --output-on-failure --no-tests=error -j2 -LE soak
}

fuzz_stage() {
    # The fuzz targets need clang's libFuzzer; they build only the core.
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBELITH_FUZZ=ON
    cmake --build build-fuzz -j2
    cd build-fuzz
    ctest --output-on-failure --no-tests=error -j2 -L fuzz
}

wine_stage() {
    # The Windows backend, cross-built with mingw-w64 by the normal build.
    cmake --build build -j2
    cd build
    ctest --output-on-failure --no-tests=error -L wine
}

windows_stage() {
    # The packages, then what they install, run under Wine beside the Linux
    # build of the normal stage.
    build_windows
    cmake --build build -j2
    cd build
    ctest --output-on-failure --no-tests=error -L windows
}

stage normal normal_stage
stage ASan+UBSan asan_stage
stage fuzz fuzz_stage
stage wine wine_stage
stage windows windows_stage

echo "Test stages: $summary"
[ "$failed" -eq 0 ]
