#!/usr/bin/env bash
# Every test of Orvendal, from scratch: installs the missing Debian packages, then builds and runs
# the whole suite through CTest (optimised), checks the Debian package, soaks the monitor for a
# minute, runs the suite again under AddressSanitizer and UBSan, fuzzes the refresh, the text
# writers and the parsers, then cross-builds the Windows programs and runs their suite under Wine
# and checks their packages.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
jobs=$(nproc)
passed=0 # CTest cases and checks that passed; any failure ends the script at once

# The tests of a CTest log that passed: CTest counts skipped tests in its total, and lists them.
ctest_passed() { # ctest_passed LOG
    local total skipped
    total=$(sed -n 's/.* 0 tests failed out of \([0-9]*\)$/\1/p' "$1")
    skipped=$(grep -c -E '^\s*[0-9]+ - .* \((Skipped|Disabled)\)$' "$1" || true)
    echo $((total - skipped))
}

suite() { # suite NAME CMAKE-OPTIONS...
    local build="$root/build/$1"
    shift
    echo "== $(basename "$build"): configure, build, test"
    rm -rf "$build"
    cmake -S . -B "$build" -G Ninja "$@" >/dev/null
    cmake --build "$build" -j "$jobs"
    ctest --test-dir "$build" --output-on-failure -j "$jobs" | tee "$build/ctest.log"
    passed=$((passed + $(ctest_passed "$build/ctest.log")))
}

suite test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== package: build the .deb, run lintian on it and unpack it into a scratch root"
bash scripts/check-package.sh "$root/build/test"
passed=$((passed + 1))
echo "== soak: the monitor under churn for 60 s"
bash scripts/soak.sh "$root/build/test" 60
passed=$((passed + 1))

export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
suite asan -DCMAKE_BUILD_TYPE=Debug -DORVENDAL_SANITIZE=ON -DORVENDAL_WITH_BENCH=OFF
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

echo "== fuzz: the refresh, the text writers and the parsers for 105 s"
bash scripts/fuzz.sh 105
passed=$((passed + 1))

# Wine, its prefix and the display of the Windows suite, stopped however the script ends.
wine_scratch=
wine_pids=()
stop_wine() {
    [[ -n $wine_scratch ]] || return 0
    WINEPREFIX=$wine_scratch/prefix wineserver -k 2>/dev/null || true
    for pid in "${wine_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$wine_scratch"
    wine_scratch=
}
trap stop_wine EXIT

echo "== windows: cross-build and package, the Windows suite under Wine"
rm -rf "$root/build/windows"
bash scripts/build-windows.sh "$root/build/windows"
wine_scratch=$(mktemp -d /tmp/orvendal-wine.XXXXXX)
# One display for the Windows suite: the window's tests need a window manager, as on Linux.
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$wine_scratch/display" \
    >"$wine_scratch/xvfb.log" 2>&1 &
wine_pids+=($!)
for _ in $(seq 100); do
    [[ -s $wine_scratch/display ]] && break
    sleep 0.1
done
export DISPLAY=:$(cat "$wine_scratch/display")
openbox >"$wine_scratch/openbox.log" 2>&1 &
wine_pids+=($!)
export WINEPREFIX=$wine_scratch/prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
# A fresh prefix, started with its output elsewhere: Wine's services would keep a pipe open.
mkdir "$WINEPREFIX"
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1
ctest --test-dir "$root/build/windows" --output-on-failure -j "$jobs" | tee "$root/build/windows/ctest.log"
passed=$((passed + $(ctest_passed "$root/build/windows/ctest.log")))
# The window suite again on a desktop at 150 %: a program reads the DPI when it starts.
for key in 'HKCU\Control Panel\Desktop' 'HKCU\Software\Wine\Fonts'; do
    wine reg add "$key" /v LogPixels /t REG_DWORD /d 144 /f </dev/null >/dev/null 2>&1
done
ctest --test-dir "$root/build/windows" --output-on-failure -j "$jobs" -L win32-window |
    tee "$root/build/windows/ctest-144dpi.log"
passed=$((passed + $(ctest_passed "$root/build/windows/ctest-144dpi.log")))
bash scripts/check-windows-package.sh "$root/build/windows"
passed=$((passed + 1))
stop_wine
unset WINEPREFIX DISPLAY

echo "orvendal: $passed passed, 0 failed"
