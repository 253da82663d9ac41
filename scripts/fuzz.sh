#!/usr/bin/env bash
# Fuzzes the refresh with libFuzzer (clang) under AddressSanitizer and UBSan for SECONDS (default 60).
# The repository's seed corpus is read, never written: new inputs go to a scratch folder.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVENDAL_FUZZ=ON -DORVENDAL_SANITIZE=ON -DORVENDAL_WITH_UI=OFF -DORVENDAL_WITH_BENCH=OFF >/dev/null
cmake --build "$build" --target refresh_fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$build/tests/fuzz/refresh_fuzz" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    "$scratch" "$root/tests/fuzz/corpus" >"$scratch.log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done|^stat::' "$scratch.log" || true
if [[ ${status:-0} -ne 0 ]]; then
    tail -n 60 "$scratch.log"
    echo "fuzz: the refresh failed on an input (see above)" >&2
fi
rm -f "$scratch.log"
exit "${status:-0}"
