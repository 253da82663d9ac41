#!/usr/bin/env bash
# What a flood costs the headless watcher, as a Markdown table: one process takes and releases a
# lock over every record of a 20,000-station file every 0.5 s while stationctl watch runs with its
# journal, textfile and a hook on; after SECONDS (default 14) of it and 70 s left alone (the
# flapping stations settle), the watcher is stopped. Reported: its CPU seconds and peak memory,
# the event lines, the hooks started, the journal's rows and size.
#   scripts/bench-flood.sh BUILD_DIR [SECONDS] [STATIONS]
set -euo pipefail
build=$(realpath -m "${1:?usage: $0 BUILD_DIR [SECONDS] [STATIONS]}")
seconds=${2:-14}
stations=${3:-20000}
cmake --build "$build" --target stationctl >/dev/null
stationctl="$build/tools/stationctl/stationctl"
out=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-flood-bench.XXXXXX")
trap 'rm -rf "$out"' EXIT

"$stationctl" create "$out/MARLOVEN.SIT" --stations "$stations"
: >"$out/hooks"
"$stationctl" watch "$out/MARLOVEN.SIT" \
    --journal "$out/journal.db" --prometheus "$out/orvendal.prom" \
    --on-change "echo x >> '$out/hooks'" >"$out/events" 2>"$out/report" &
watcher=$!
sleep 2
/usr/bin/python3 - "$out/MARLOVEN.SIT" "$stations" "$seconds" <<'PY'
import fcntl, os, sys, time
path, stations, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
fd = os.open(path, os.O_RDWR)
end = time.monotonic() + seconds
held = False
while time.monotonic() < end:
    fcntl.lockf(fd, fcntl.LOCK_UN if held else fcntl.LOCK_EX, stations * 81, 81)
    held = not held
    time.sleep(0.5)
os.close(fd)
PY
sleep 70
# Its CPU and peak memory, read before it stops: its own, not its hooks'.
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$watcher/status")
cpu=$(awk -v hz="$(getconf CLK_TCK)" '{printf "%.1f", ($14 + $15) / hz}' "/proc/$watcher/stat")
kill -TERM "$watcher"
wait "$watcher" || true

rows() { /usr/bin/python3 -c "import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute(sys.argv[2]).fetchone()[0])" "$out/journal.db" "$1"; }
echo
echo "| flood: $stations stations, whole-file lock toggled every 0.5 s for $seconds s | measured |"
echo "|---|---:|"
echo "| watcher CPU (user + system), whole run | $cpu s |"
echo "| watcher peak resident (VmHWM) | $((peak / 1024)) MB |"
echo "| event lines on stdout | $(wc -l <"$out/events") |"
echo "| hooks started | $(wc -l <"$out/hooks") |"
echo "| report lines on stderr | $(wc -l <"$out/report") |"
echo "| journal sessions | $(rows 'SELECT count(*) FROM sessions') |"
echo "| journal flapping periods | $(rows 'SELECT count(*) FROM flapping') |"
echo "| journal size (database + WAL) | $(du -ck "$out"/journal.db* | tail -1 | cut -f1) KB |"
echo "| textfile size | $(($(stat -c %s "$out/orvendal.prom") / 1024)) KB |"
