#!/usr/bin/env bash
# The watcher's web page under load, as Markdown tables: stationctl watch on 1,000 stations, 200 of
# them connected, with its journal and its page on loopback (a refresh every 500 ms). wrk asks
# for /metrics and for / as fast as it can over 1 connection and over 8 (requests a second,
# latency percentiles); then bench/web's web_bench holds 100 live pages while 1,000 requests a second
# arrive and one record is locked and unlocked: the requests' latency, the gaps between
# refreshes, and how late each lock change reaches every live page.
#   scripts/bench-web.sh BUILD_DIR [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:?usage: $0 BUILD_DIR [SECONDS]}")
seconds=${2:-20}
command -v wrk >/dev/null || { echo "$0: wrk is not installed (apt-get install wrk)" >&2; exit 1; }
cmake --build "$build" --target stationctl web_bench >/dev/null
stationctl=$build/tools/stationctl/stationctl
out=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-web-bench.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$out"
}
trap cleanup EXIT

"$stationctl" create "$out/MARLOVEN.SIT" --stations 1000
mkfifo "$out/hold"
# Every fifth station connected, held by another process until the fifo's writer goes.
"$stationctl" connect "$out/MARLOVEN.SIT" $(seq 5 5 1000) <"$out/hold" >"$out/connect.log" &
pids+=($!)
exec 3>"$out/hold"
"$stationctl" watch "$out/MARLOVEN.SIT" --journal "$out/journal.db" --listen 0 --interval 500 \
    >/dev/null 2>"$out/watch.log" &
pids+=($!)
for _ in $(seq 100); do
    grep -q "página web en" "$out/watch.log" 2>/dev/null && break
    sleep 0.1
done
url=$(sed -n 's/.*página web en \(http[^ ]*\).*/\1/p' "$out/watch.log")
[[ -n $url ]] || { cat "$out/watch.log" >&2; exit 1; }
port=${url##*:}
port=${port%/}
sleep 2

for connections in 1 8; do
    for path in metrics ""; do
        wrk -t"$((connections > 1 ? 2 : 1))" -c"$connections" -d"${seconds}s" --latency \
            "$url$path" >"$out/wrk-$connections-${path:-root}.txt"
    done
done
"$build/bench/web/web_bench" 127.0.0.1 "$port" "$out/MARLOVEN.SIT" 999 100 1000 "$seconds" 500 \
    >"$out/live.json"
exec 3>&-

python3 - "$out" <<'PY'
import json, pathlib, re, sys
out = pathlib.Path(sys.argv[1])

def ms(text):
    value, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 0.001, "ms": 1, "s": 1000}[unit]

print()
print("| 1,000 stations, 200 connected | requests/s | p50 ms | p90 ms | p99 ms |")
print("|---|---:|---:|---:|---:|")
for connections in (1, 8):
    for name, path in (("root", "/"), ("metrics", "/metrics")):
        text = (out / f"wrk-{connections}-{name}.txt").read_text()
        rate = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
        pct = {p: ms(v) for p, v in re.findall(r"^\s+(50|90|99)%\s+(\S+)", text, re.M)}
        print(f"| wrk, {connections} connection{'s' if connections > 1 else ''}, GET {path}"
              f" | {rate:,.0f} | {pct['50']:.2f} | {pct['90']:.2f} | {pct['99']:.2f} |")
live = json.loads((out / "live.json").read_text())
print()
print(f"| {live['clients']} live pages, {live['rate']:.0f} requests/s for / and /metrics"
      f" ({live['seconds']} s) | count | p50 ms | p99 ms | max ms |")
print("|---|---:|---:|---:|---:|")
for key, label in (("requests", "a request's latency"),
                   ("refresh_gaps", "gap between two refreshes (interval 500 ms)"),
                   ("event_after_refresh", "refresh's end → its event at a live page"),
                   ("event_after_lock", "lock change → its event at a live page")):
    s = live[key]
    print(f"| {label} | {s['count']:,} | {s['p50_ms']:.2f} | {s['p99_ms']:.2f} | {s['max_ms']:.2f} |")
print()
print(f"Failed requests: {live['failed_requests']}; refreshes a live page missed: "
      f"{live['refreshes_skipped']}; lock changes: {live['lock_changes']}.")
PY
