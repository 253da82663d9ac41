#!/usr/bin/env bash
# Every test of Orvendal, from scratch: installs the missing Debian packages, then builds and runs
# the whole suite through CTest (optimised), checks the Debian package, soaks the monitor for a
# minute, runs the suite again under AddressSanitizer and UBSan, and fuzzes the refresh for a minute.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
jobs=$(nproc)
passed=0 # CTest cases and checks that passed; any failure ends the script at once

suite() { # suite NAME CMAKE-OPTIONS...
    local build="$root/build/$1"
    shift
    echo "== $(basename "$build"): configure, build, test"
    rm -rf "$build"
    cmake -S . -B "$build" -G Ninja "$@" >/dev/null
    cmake --build "$build" -j "$jobs"
    ctest --test-dir "$build" --output-on-failure -j "$jobs" | tee "$build/ctest.log"
    passed=$((passed + $(sed -n 's/.* 0 tests failed out of \([0-9]*\)$/\1/p' "$build/ctest.log")))
}

suite test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== package: build the .deb and unpack it into a scratch root"
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

echo "== fuzz: the refresh for 60 s"
bash scripts/fuzz.sh 60
passed=$((passed + 1))

echo "orvendal: $passed passed, 0 failed"
