#!/usr/bin/env bash
# Fuzzes with libFuzzer (clang) under AddressSanitizer and UBSan for SECONDS in all (default 60),
# shared equally: the refresh, the writers of texts for the terminal and for spreadsheets, then the
# parsers of what users write (times, check's ranges, smb: addresses, credentials files). The
# repository's seed corpora are read, never written: new inputs go to a scratch folder.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build="$root/build/fuzz"
targets=(refresh_fuzz printable_fuzz csvfield_fuzz timetext_fuzz range_fuzz smburl_fuzz
    smbcredentials_fuzz)
share=$((seconds / ${#targets[@]} > 0 ? seconds / ${#targets[@]} : 1))
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVENDAL_FUZZ=ON -DORVENDAL_SANITIZE=ON -DORVENDAL_WITH_UI=OFF -DORVENDAL_WITH_BENCH=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for target in "${targets[@]}"; do
    corpus=() max_len=512
    case $target in
    refresh_fuzz) corpus=("$root/tests/fuzz/corpus") max_len=8192 ;;
    printable_fuzz | csvfield_fuzz) max_len=4096 ;;
    *) corpus=("$root/tests/fuzz/seeds/${target%_fuzz}") ;;
    esac
    mkdir -p "$scratch/$target"
    echo "== $target"
    status=0
    "$build/tests/fuzz/$target" -max_total_time="$share" -max_len="$max_len" -print_final_stats=1 \
        "$scratch/$target" "${corpus[@]}" >"$scratch/$target.log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done|^stat::' "$scratch/$target.log" || true
    if [[ $status -ne 0 ]]; then
        tail -n 60 "$scratch/$target.log"
        echo "fuzz: $target failed on an input (see above)" >&2
        failed=$status
    fi
done
exit "$failed"
