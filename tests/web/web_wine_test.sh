#!/usr/bin/env bash
# stationctl.exe watch --listen under Wine, read from the host with curl as a browser on the
# same computer would: /api/status follows a record another Wine process writes (a lock it would
# not show: Wine's ReadFile does not fail on a range another process holds), methods other than
# GET are refused, a foreign Host is refused on loopback, and
# --web-config is refused at start, since the Windows build has no TLS. Every step waits for what
# it expects to see, within a bound. Runs in the started prefix of WINEPREFIX.
#   web_wine_test.sh STATIONCTL_EXE
set -euo pipefail
exe=${1:?usage: $0 STATIONCTL_EXE}
: "${WINEPREFIX:?WINEPREFIX must name a started Wine prefix}"
scratch=$(mktemp -d /tmp/orvendal-web-wine.XXXXXX)
winpath() { printf 'Z:%s' "${1//\//\\}"; }
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "web under Wine: $* (line ${BASH_LINENO[0]})" >&2
    exit 1
}

file=$(winpath "$scratch/MARLOVEN.SIT")
wine "$exe" create "$file" --stations 3 </dev/null >/dev/null 2>&1

status=0
wine "$exe" watch "$file" --listen 0 --web-config "$(winpath "$scratch/web.yml")" \
    </dev/null >/dev/null 2>"$scratch/refused.txt" || status=$?
((status == 2)) || fail "--web-config ended with $status: $(cat "$scratch/refused.txt")"
grep -q "en Windows no se admite" "$scratch/refused.txt" || fail "$(cat "$scratch/refused.txt")"

wine "$exe" watch "$file" --listen 0 --interval 100 </dev/null >/dev/null 2>"$scratch/watch.txt" &
pids+=($!)
url=
for _ in $(seq 600); do
    url=$(tr -d '\r' <"$scratch/watch.txt" | sed -n 's/.*página web en \(http[^ ]*\).*/\1/p')
    [[ -n $url ]] && break
    sleep 0.1
done
[[ -n $url ]] || fail "the watcher did not say its page: $(cat "$scratch/watch.txt")"

# Waits up to 60 s for /api/status to satisfy a Python expression on `s`.
wait_status() {
    local condition=$1 json='' end=$((SECONDS + 60))
    while ((SECONDS < end)); do
        json=$(curl -sf --max-time 10 "${url}api/status" || true)
        if /usr/bin/python3 -c "import json,sys; s=json.loads(sys.argv[1]); sys.exit(0 if ($condition) else 1)" \
            "$json" 2>/dev/null; then
            return 0
        fi
        sleep 0.2
    done
    fail "/api/status never satisfied $condition: $json"
}

wait_status 'len(s["rows"]) == 3 and not any(r["connected"] for r in s["rows"])'
wine "$exe" set "$file" 2 --station 7 --name 'Caja <7>' </dev/null >/dev/null 2>&1
wait_status '[(r["station"], r["name"].rstrip()) for r in s["rows"]] == [(0, ""), (7, "Caja <7>"), (0, "")]'

code=$(curl -s -o /dev/null -w '%{http_code}' -X POST "$url")
[[ $code == 405 ]] || fail "POST answered $code"
code=$(curl -s -o /dev/null -w '%{http_code}' -H "Host: orvendal.example" "$url")
[[ $code == 421 ]] || fail "a foreign Host answered $code"
page=$(curl -sf "$url")
grep -q 'Conexiones activas: ' <<<"$page" || fail "the page: $page"
