#!/usr/bin/env bash
# The performance figures of Orvendal in one table: the refresh against the system calls it cannot
# avoid, the refresh over smb:// against one read per record (on loopback and through a proxy that
# adds about 1 ms a round trip), reads over several SMB connections at once, the full refresh into
# the window, the user look-up, and a monitor left running.
# Installs what is missing and builds optimised into build/bench first.
#   scripts/bench.sh [IDLE_SECONDS]      (default 60)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
idle_seconds=${1:-60}
cd "$root"
bash scripts/install-deps.sh

build="$root/build/bench"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target station_bench smb_bench smb_parallel_bench ui_bench lookup_bench orvendal stationctl >/dev/null

out=$(mktemp -d /tmp/orvendal-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
options=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=json)

echo "refresh sweeps (about two minutes)..." >&2
"$build/bench/station/station_bench" "${options[@]}" --benchmark_repetitions=9 \
    >"$out/station.json"
echo "refreshes over smb:// from a private Samba server, straight and with latency (about ten minutes)..." >&2
"$build/bench/station/smb_bench" "${options[@]}" >"$out/smb.json" 2>/dev/null
echo "reads over several SMB connections at once, with latency (about ten minutes)..." >&2
"$build/bench/station/smb_parallel_bench" --benchmark_format=json >"$out/parallel.json" 2>/dev/null
echo "window refreshes..." >&2
XDG_RUNTIME_DIR="$out" QT_QPA_PLATFORM=offscreen "$build/bench/ui/ui_bench" "${options[@]}" \
    >"$out/ui.json" 2>/dev/null
echo "look-ups..." >&2
bash scripts/bench-lookup.sh "$build" --benchmark_format=json >"$out/lookup.json" 2>/dev/null
echo "a monitor left running for ${idle_seconds} s..." >&2
bash scripts/measure-idle.sh "$build" "$idle_seconds" >"$out/idle.json" 2>/dev/null

python3 scripts/bench-table.py "$out"
echo "the headless watcher left running for ${idle_seconds} s, and a transition with its journal..." >&2
bash scripts/bench-watch.sh "$build" "$idle_seconds"
echo "history over journals of 100,000 and 1,000,000 sessions..." >&2
bash scripts/bench-history.sh "$build"
echo "a flood: a lock over 20,000 records toggled every 0.5 s for 14 s..." >&2
bash scripts/bench-flood.sh "$build"
