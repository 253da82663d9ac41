#!/usr/bin/env bash
# The watcher as a Windows service under Wine's Service Control Manager, driven as an
# administrator drives it from a console: an install that could not start refused, service
# install, net start, a second service on a second station file whose start fails while another
# watcher holds its journal, an outage and its recovery
# in the journal, net stop closing the watch as stopped, a killed service process whose watch the
# next start closes as unknown, service remove leaving no service and the journal in place. Every
# step waits for what it expects to see, within a bound. Runs in the started prefix of WINEPREFIX.
#   service_wine_test.sh STATIONCTL_EXE
set -euo pipefail
exe=${1:?usage: $0 STATIONCTL_EXE}
: "${WINEPREFIX:?WINEPREFIX must name a started Wine prefix}"
scratch=$(mktemp -d /tmp/orvendal-service.XXXXXX)
winpath() { printf 'Z:%s' "${1//\//\\}"; }
stationctl() { wine "$exe" "$@" </dev/null 2>&1 | tr -d '\r'; }

# Wine ends its services once no ordinary process is left in the prefix: one waits on a FIFO
# until the test ends.
mkfifo "$scratch/keep"
keeper=
keep_prefix() {
    wine cmd /c 'set /p x=' <"$scratch/keep" >/dev/null 2>&1 &
    keeper=$!
    exec 3>"$scratch/keep"
}
keep_prefix
cleanup() {
    stationctl service remove --all >/dev/null || true
    exec 3>&-
    wait "$keeper" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "service test: $* (line ${BASH_LINENO[0]})" >&2
    exit 1
}

file=$scratch/MARLOVEN.SIT
journal=$scratch/journal.db
stationctl create "$(winpath "$file")" --stations 2 >/dev/null
stationctl service remove >/dev/null

# Waits up to 60 s for the journal's history (JSON) to satisfy a Python expression on `h`.
wait_history() {
    local condition=$1 what=$2 json='' end=$((SECONDS + 60))
    while ((SECONDS < end)); do
        json=$(stationctl history "$(winpath "$journal")" --json || true)
        if /usr/bin/python3 -c "import json,sys; h=json.loads(sys.argv[1]); sys.exit(0 if ($condition) else 1)" \
            "$json" 2>/dev/null; then
            return 0
        fi
        sleep 0.2
    done
    fail "$what did not come within 60 s; history: $json"
}

# The SCM's state of the service, as `sc query` prints it (empty when it does not exist).
state() { wine sc query Orvendal </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: [0-9]* *//p'; }
wait_state() {
    local end=$((SECONDS + 60))
    while ((SECONDS < end)); do
        [[ $(state) == "$1" ]] && return 0
        sleep 0.2
    done
    fail "the service did not reach $1 within 60 s: $(state)"
}
# The ended column of every watch, oldest first, read from the journal once nothing writes it.
watch_ends() { sqlite3 -readonly "$journal" "SELECT group_concat(coalesce(ended, 'open'), ' ') FROM (SELECT ended FROM watches ORDER BY id)"; }

out=$(stationctl service run "$(winpath "$file")") && fail "service run from a console succeeded"
grep -q "solo lo arranca el Administrador de control de servicios" <<<"$out" ||
    fail "service run from a console said: $out"

# What would stop the service at its start is refused before anything is registered, with the
# message of watch itself.
missing='C:\NoExiste\diario.db'
watch_said=$(stationctl watch "$(winpath "$file")" --journal "$missing" | head -n 1 || true)
out=$(stationctl service install "$(winpath "$file")" --journal "$missing") &&
    fail "service install took a journal in a missing folder"
[[ -n $watch_said && $(head -n 1 <<<"$out") == "${watch_said/stationctl watch:/stationctl service:}" ]] ||
    fail "service install said: $out; watch said: $watch_said"
[[ -z $(wine sc query Orvendal </dev/null 2>/dev/null | tr -d '\r') ]] ||
    fail "a refused service install registered the service"

out=$(stationctl service install "$(winpath "$file")" --journal "$(winpath "$journal")" \
    --interval 100)
grep -q "Servicio Orvendal instalado" <<<"$out" || fail "service install said: $out"
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Orvendal' \
    /v EventMessageFile </dev/null 2>/dev/null | grep -qi 'stationctl.exe' ||
    fail "no Event Log source after install"

wine net start Orvendal </dev/null >/dev/null 2>&1 || fail "net start failed"
wait_state RUNNING
out=$(stationctl service status) || fail "service status of a running service: $? $out"
grep -q "^Orvendal: en marcha" <<<"$out" || fail "service status said: $out"
# The watch is in the journal once the history reads it.
wait_history "h['outages'] == [] and h['gaps'] == []" "the first watch"

# A second station file gets a second service, Orvendal$B, with a journal of its own. A watcher
# that cannot open its journal never reports RUNNING: its start fails with the reason, which
# status keeps.
second=$scratch/SECOND.SIT
held=$scratch/held.db
stationctl create "$(winpath "$second")" --stations 2 >/dev/null
out=$(stationctl service install "$(winpath "$second")" --name B --journal "$(winpath "$held")") ||
    fail "service install --name B said: $out"
wine "$exe" watch "$(winpath "$second")" --journal "$(winpath "$held")" </dev/null >/dev/null 2>&1 &
holder=$!
watches() { sqlite3 -readonly "$held" "SELECT count(*) FROM watches" 2>/dev/null || echo 0; }
end=$((SECONDS + 60))
while (($(watches) < 1 && SECONDS < end)); do sleep 0.2; done
out=$(stationctl service start --name B) && fail "Orvendal\$B started on a journal another watcher holds"
grep -q "no arrancó: .*lo está usando otro vigilante" <<<"$out" || fail "service start said: $out"
out=$(stationctl service status --name B) && fail "Orvendal\$B is running: $out"
grep -q "^Último fallo: .*lo está usando otro vigilante" <<<"$out" || fail "service status said: $out"
kill "$holder"
wait "$holder" 2>/dev/null || true
out=$(stationctl service start --name B) || fail "service start --name B said: $out"
end=$((SECONDS + 60))
while (($(watches) < 2 && SECONDS < end)); do sleep 0.2; done
[[ $(sqlite3 -readonly "$held" "SELECT station_file FROM watches ORDER BY id DESC LIMIT 1") == \
    "$(winpath "$second")" ]] || fail "Orvendal\$B wrote no watch of its own in $held"
out=$(stationctl service remove --name B)
grep -q "Servicio Orvendal\$B quitado" <<<"$out" || fail "service remove --name B said: $out"
[[ ! -e $held.lock ]] || fail "service remove --name B left $held.lock"
[[ $(state) == RUNNING ]] || fail "removing Orvendal\$B touched Orvendal: $(state)"

mv "$file" "$file.away"
wait_history "len(h['outages']) == 1 and h['outages'][0]['error'].startswith('2-')" "the outage"
mv "$file.away" "$file"
wait_history "len(h['outages']) == 1 and h['outages'][0]['to'] is not None" "the recovery"

wine net stop Orvendal </dev/null >/dev/null 2>&1 || fail "net stop failed"
wait_state STOPPED
[[ $(watch_ends) == "stopped" ]] || fail "net stop left the watches as: $(watch_ends)"
code=0
out=$(stationctl service status) || code=$?
[[ $code -eq 3 ]] || fail "service status of a stopped service answered $code"
grep -q "^Orvendal: detenido" <<<"$out" || fail "service status said: $out"

# A process killed without a stop: its watch stays open until the next start closes it unknown.
# Wine's SCM never notices that a service's process died (it stays RUNNING, process 0), so the
# prefix is restarted, as Windows after a crash, and the service starts with it.
wine net start Orvendal </dev/null >/dev/null 2>&1 || fail "the second net start failed"
wait_state RUNNING
wait_history "len(h['gaps']) == 1" "the second watch"
pid=$(stationctl service status | sed -n 's/.*(proceso \([0-9]*\)).*/\1/p')
[[ -n $pid ]] || fail "service status named no process"
wine taskkill /F /PID "$pid" </dev/null >/dev/null 2>&1 || fail "taskkill failed"
[[ $(watch_ends) == "stopped open" ]] || fail "the killed watch is: $(watch_ends)"
exec 3>&-
wineserver -k
wait "$keeper" 2>/dev/null || true
wineserver -p >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
keep_prefix
wait_state RUNNING
wait_history "len(h['gaps']) == 2" "the third watch"
wine net stop Orvendal </dev/null >/dev/null 2>&1 || fail "the second net stop failed"
wait_state STOPPED
[[ $(watch_ends) == "stopped unknown stopped" ]] || fail "the watches ended as: $(watch_ends)"

out=$(stationctl service remove)
grep -q "Su diario se conserva: $(winpath "$journal" | sed 's/\\/\\\\/g')" <<<"$out" ||
    fail "service remove said: $out"
[[ -z $(wine sc query Orvendal </dev/null 2>/dev/null | tr -d '\r') ]] ||
    fail "sc query still finds the service"
[[ -s $journal ]] || fail "service remove took the journal away"
! wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Orvendal' \
    </dev/null >/dev/null 2>&1 || fail "service remove left the Event Log source"
code=0
out=$(stationctl service status) || code=$?
[[ $code -eq 4 ]] || fail "service status of no service answered $code"
grep -q "no está instalado" <<<"$out" || fail "service status said: $out"
echo "service test: install, start, outage, stop, kill, remove under Wine's SCM"
