#!/usr/bin/env bash
# What a monitor left running costs: the real program (offscreen) on 200 stations with 100 of them
# connected, for SECONDS (default 60). Prints one line of JSON: CPU in % of one core after a 5 s
# warm-up, resident memory at the end and at its peak, and whether a Qt library is loaded. With
# "watch" it measures the headless watcher instead, its journal and textfile on.
#   scripts/measure-idle.sh BUILD_DIR [SECONDS] [watch]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [SECONDS]}
seconds=${2:-60}
what=${3:-window}
stationctl="$build/tools/stationctl/stationctl"
program="$build/src/app/orvendal"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-idle.XXXXXX")
cleanup() {
    [[ -n ${monitor:-} ]] && kill "$monitor" 2>/dev/null || true
    [[ -n ${holder:-} ]] && kill "$holder" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The monitor reads MARLOVEN.SIT beside its own executable, so it runs from a copy.
[[ $what == watch ]] || cp "$program" "$work/orvendal"
"$stationctl" create "$work/MARLOVEN.SIT" --stations 200 >/dev/null
for row in $(seq 1 200); do
    "$stationctl" set "$work/MARLOVEN.SIT" "$row" --station "$row" --name "Puesto $row" \
        --connection "TERM$row" >/dev/null
done
# exec: the coprocess's pid is then stationctl's own, not that of a subshell around it, so the
# cleanup's kill reaches the process that holds the locks.
coproc HOLD { exec "$stationctl" connect "$work/MARLOVEN.SIT" $(seq 1 2 200) --ignore-stdin; }
holder=$HOLD_PID
read -r -u "${HOLD[0]}" _line

if [[ $what == watch ]]; then
    "$stationctl" watch "$work/MARLOVEN.SIT" --journal "$work/journal.db" \
        --prometheus "$work/orvendal.prom" >/dev/null &
else
    (cd "$work" && XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=offscreen exec ./orvendal) &
fi
monitor=$!
ticks() { awk '{print $14 + $15}' "/proc/$monitor/stat"; }
sleep 5
start=$(ticks)
sleep "$seconds"
end=$(ticks)
hz=$(getconf CLK_TCK)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$monitor/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$monitor/status")
qt=false
grep -q libQt "/proc/$monitor/maps" && qt=true
awk -v t=$((end - start)) -v hz="$hz" -v s="$seconds" -v rss="$rss" -v hwm="$hwm" -v qt="$qt" 'BEGIN {
    printf "{\"seconds\": %d, \"cpu_percent\": %.2f, \"rss_mb\": %.1f, \"peak_rss_mb\": %.1f, \"qt_loaded\": %s}\n",
        s, 100 * t / hz / s, rss / 1024, hwm / 1024, qt }'
