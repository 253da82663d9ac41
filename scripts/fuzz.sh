#!/usr/bin/env bash
# Fuzzes with libFuzzer (clang) under AddressSanitizer and UBSan for SECONDS in all (default 60):
# half for the refresh, a quarter each for the terminal's escaping and the CSV writer.
# The repository's seed corpus is read, never written: new inputs go to a scratch folder.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVENDAL_FUZZ=ON -DORVENDAL_SANITIZE=ON -DORVENDAL_WITH_UI=OFF -DORVENDAL_WITH_BENCH=OFF >/dev/null
cmake --build "$build" --target refresh_fuzz printable_fuzz csvfield_fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
fuzz() { # fuzz TARGET SECONDS MAX_LEN [SEED_CORPUS]
    local target=$1 time=$2 max_len=$3 log=$scratch/$1.log
    mkdir -p "$scratch/$target"
    echo "== $target (${time}s)"
    local result=0
    "$build/tests/fuzz/$target" -max_total_time="$time" -max_len="$max_len" -print_final_stats=1 \
        "$scratch/$target" "${@:4}" >"$log" 2>&1 || result=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done|^stat::' "$log" || true
    if [[ $result -ne 0 ]]; then
        tail -n 60 "$log"
        echo "fuzz: $target failed on an input (see above)" >&2
        status=$result
    fi
}
quarter=$((seconds / 4 > 0 ? seconds / 4 : 1))
fuzz refresh_fuzz $((seconds - 2 * quarter > 0 ? seconds - 2 * quarter : 1)) 8192 \
    "$root/tests/fuzz/corpus"
fuzz printable_fuzz "$quarter" 4096
fuzz csvfield_fuzz "$quarter" 4096
exit "$status"
