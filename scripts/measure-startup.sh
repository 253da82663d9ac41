#!/usr/bin/env bash
# What the monitor costs before it does any work: the real program (offscreen) on a local station
# file of 12 stations, 3 s after its start, and `orvendal --help` from start to exit. Prints one
# line of JSON: resident memory, the shared objects mapped (and whether libsmbclient is among
# them), all the files mapped (the objects, Qt's plugins, fonts, locale data), and the mean and
# spread of --help over RUNS runs (default 50; hyperfine when installed).
#   scripts/measure-startup.sh BUILD_DIR [RUNS]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-50}
stationctl="$build/tools/stationctl/stationctl"
program="$build/src/app/orvendal"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-startup.XXXXXX")
cleanup() {
    [[ -n ${monitor:-} ]] && kill "$monitor" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$stationctl" create "$work/MARLOVEN.SIT" --stations 12 >/dev/null
XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=offscreen "$program" "$work/MARLOVEN.SIT" &
monitor=$!
sleep 3
kill -0 "$monitor"
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$monitor/status")
objects=$(awk '$6 ~ /\.so(\.[0-9]+)*$/ {print $6}' "/proc/$monitor/maps" | sort -u)
count=$(wc -l <<<"$objects")
files=$(awk '$6 ~ /^\// {print $6}' "/proc/$monitor/maps" | sort -u | wc -l)
smbclient=$(grep -c '/libsmbclient\.so' <<<"$objects" || true)
kill "$monitor"
wait "$monitor" 2>/dev/null || true
monitor=

if command -v hyperfine >/dev/null; then
    hyperfine --style none --warmup 5 --runs "$runs" --export-json "$work/help.json" \
        "$program --help" >/dev/null 2>&1
    read -r mean stddev < <(python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
print("%.1f %.1f" % (r["mean"] * 1000, r["stddev"] * 1000))' "$work/help.json")
else
    start=$(date +%s%N)
    for _ in $(seq "$runs"); do "$program" --help >/dev/null; done
    mean=$(((($(date +%s%N) - start) / runs) / 1000))e-3
    stddev=null
fi

printf '{"rss_mb": %s, "shared_objects": %d, "libsmbclient_mapped": %s, "mapped_files": %d, ' \
    "$(awk -v kb="$rss" 'BEGIN { printf "%.1f", kb / 1024 }')" "$count" \
    "$( ((smbclient > 0)) && echo true || echo false)" "$files"
printf '"help_ms": %.1f, "help_stddev_ms": %s, "help_runs": %d}\n' "$mean" "$stddev" "$runs"
