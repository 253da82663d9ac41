#!/usr/bin/env bash
# What the headless watcher costs, as Markdown tables: stationctl watch left running with its
# journal and textfile on 200 stations, 100 of them connected, for SECONDS (default 60), as
# measure-idle.sh measures the window; then a transition committed to the journal, and the event
# detection of an idle refresh (journal_bench).
#   scripts/bench-watch.sh BUILD_DIR [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:?usage: $0 BUILD_DIR [SECONDS]}")
seconds=${2:-60}
cmake --build "$build" --target stationctl journal_bench >/dev/null
out=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-watch-bench.XXXXXX")
trap 'rm -rf "$out"' EXIT

bash "$root/scripts/measure-idle.sh" "$build" "$seconds" watch >"$out/idle.json" 2>/dev/null
# In a folder of the disk, not a tmpfs: a commit's cost is its fsync.
(cd "$out" && TMPDIR="$out" "$build/bench/journal/journal_bench" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=json) >"$out/journal.json"

python3 - "$out" <<'PY'
import json, pathlib, sys
out = pathlib.Path(sys.argv[1])
idle = json.loads((out / "idle.json").read_text())
report = json.loads((out / "journal.json").read_text())
median = {b["run_name"].split("/")[0]: b for b in report["benchmarks"]
          if b.get("aggregate_name") == "median"}
print()
print("| watcher, 200 stations, 100 connected, journal and textfile on | seconds | CPU % of a core"
      " | resident MB | peak MB | Qt loaded |")
print("|---|---:|---:|---:|---:|---|")
print(f"| stationctl watch | {idle['seconds']} | {idle['cpu_percent']:.2f} | {idle['rss_mb']:.1f}"
      f" | {idle['peak_rss_mb']:.1f} | {'yes' if idle['qt_loaded'] else 'no'} |")
print()
print("| journal | median |")
print("|---|---:|")
t = median["transitionWithJournal"]
print(f"| one transition committed (WAL, synchronous FULL) | {t['real_time'] / 2:.3f} ms |")
e = median["idleRefreshEvents"]
print(f"| event detection of an idle refresh (200 stations) | {e['real_time']:.2f} µs |")
PY
