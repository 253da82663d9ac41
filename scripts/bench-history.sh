#!/usr/bin/env bash
# What stationctl history holds in memory, as a Markdown table: the peak resident size (GNU
# time's maximum RSS) of history as a table, --json and --csv over a journal of each SESSIONS
# count (default 100000 and 1000000), made by a real watch and filled with SQLite's shell: 200
# records, one outage every 1000 sessions. Every output goes to /dev/null.
#   scripts/bench-history.sh BUILD_DIR [SESSIONS...]
set -euo pipefail
build=$(realpath -m "${1:?usage: $0 BUILD_DIR [SESSIONS...]}")
shift
counts=(100000 1000000)
[[ $# -eq 0 ]] || counts=("$@")
cmake --build "$build" --target stationctl >/dev/null
stationctl=$build/tools/stationctl/stationctl
out=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-history-bench.XXXXXX")
watch=
trap '[[ -z $watch ]] || kill "$watch" 2>/dev/null; rm -rf "$out"' EXIT

# The journal's tables as this build's watcher makes them.
"$stationctl" create "$out/MARLOVEN.SIT" --stations 200 >/dev/null
"$stationctl" watch "$out/MARLOVEN.SIT" --journal "$out/empty.db" --interval 50 >/dev/null &
watch=$!
until [[ -s $out/empty.db ]] && sqlite3 "file:$out/empty.db?mode=ro" \
    'SELECT 1 FROM outages LIMIT 0' 2>/dev/null; do sleep 0.1; done
kill -TERM "$watch"
wait "$watch" || true
watch=

echo
echo "| sessions | journal MB | table: peak MB | --json: peak MB | --csv: peak MB | table: seconds |"
echo "|---:|---:|---:|---:|---:|---:|"
for n in "${counts[@]}"; do
    db=$out/journal-$n.db
    cp "$out/empty.db" "$db"
    # A session of 10 minutes every 3 s, one record of 200 after another.
    sqlite3 "$db" <<SQL
BEGIN;
WITH RECURSIVE i(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM i WHERE n < $n)
INSERT INTO sessions (watch, rec, lc, station, connection, name, tally, start_ms, seen_ms,
    end_ms, ended, seconds)
SELECT 1, n % 200 + 1, 'A', 100 + n % 200, 'TERM' || (n % 200), 'Caja ' || (n % 200), n,
    1700000000000 + n * 3000, 1700000000000 + n * 3000, 1700000600000 + n * 3000,
    'disconnected', 600.0 FROM i;
WITH RECURSIVE i(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM i WHERE n < $n / 1000)
INSERT INTO outages (watch, start_ms, end_ms, error, ended)
SELECT 1, 1700000001000 + n * 3000000, 1700000002000 + n * 3000000, '2-No such file',
    'recovered' FROM i;
UPDATE watches SET started_ms = 1700000000000, heartbeat_ms = 1800000000000,
    ended_ms = 1800000000000;
COMMIT;
SQL
    peak() { /usr/bin/time -f %M "$stationctl" history "$db" "$@" 2>&1 >/dev/null | tail -1; }
    start=$(date +%s.%N)
    table=$(peak)
    seconds=$(echo "$(date +%s.%N) - $start" | bc)
    json=$(peak --json)
    csv=$(peak --csv)
    mb() { echo "scale=1; $1 / 1024" | bc; }
    size=$(printf "%.1f" "$(echo "$(stat -c %s "$db") / 1048576" | bc -l)")
    printf '| %s | %s | %s | %s | %s | %.1f |\n' "$n" "$size" "$(mb "$table")" "$(mb "$json")" \
        "$(mb "$csv")" "$seconds"
    rm -f "$db"
done
