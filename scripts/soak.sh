#!/usr/bin/env bash
# Soak: the real monitor on a real X server (Xvfb + openbox) while `stationctl simulate --churn`
# connects and disconnects workstations, rewrites, grows, shrinks, replaces, deletes and recreates
# the station file, locks its header for a moment and makes out.vrl come and go, many times a
# second. Every message box the monitor shows is answered with Return. Fails unless:
#   - the monitor never exited and its window still refreshes;
#   - its open descriptors are the same after warm-up and at the end, and its resident memory
#     within 5 %;
#   - it wrote nothing: the station file holds exactly what the churn process last wrote;
#   - no workstation's lock attempt was refused on a record no other workstation held.
#   scripts/soak.sh BUILD_DIR [SECONDS] [SEED]      (60 s in the test command, 600 by hand)
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [SECONDS] [SEED]}" && pwd)
seconds=${2:-60}
seed=${3:-$RANDOM}
stationctl="$build/tools/stationctl/stationctl"

work=$(mktemp -d /tmp/orvendal-soak.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=":$(<"$work/display")"
openbox >/dev/null 2>&1 &
pids+=($!)
# A window mapped before the window manager has taken over the screen is never shown.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done

# The monitor reads MARLOVEN.SIT beside its own executable, and out.vrl in its current folder.
cp "$build/src/app/orvendal" "$work/orvendal"
"$stationctl" create "$work/MARLOVEN.SIT" --stations 40 >/dev/null
(cd "$work" && XDG_RUNTIME_DIR="$work" exec ./orvendal) 2>"$work/monitor.log" &
monitor=$!
pids+=("$monitor")

# Answers every box titled with the program's name, and counts them. Only a mapped window is a
# box: Qt keeps an unmapped 1x1 window of that name for the whole life of the program.
(
    while true; do
        if xdotool search --onlyvisible --name '^Orvendal$' >/dev/null 2>&1; then
            xdotool key Return
            echo >>"$work/answered"
        fi
        sleep 0.2
    done
) &
pids+=($!)

(cd "$work" && exec "$stationctl" simulate MARLOVEN.SIT --churn --seconds "$seconds" \
    --seed "$seed" >"$work/churn.json") &
churn=$!
pids+=("$churn")

sample() { # descriptors and resident kB of the monitor; the station file, open or not at that
    # moment as the churn allows, does not count
    local fds=0 fd
    for fd in "/proc/$monitor/fd/"*; do
        [[ $(readlink "$fd") == "$work/MARLOVEN.SIT"* ]] || fds=$((fds + 1))
    done
    echo "$fds $(awk '/^VmRSS/ {print $2}' "/proc/$monitor/status")"
}
if [[ -n ${SOAK_TRACE:-} ]]; then
    (while sleep 10; do echo "trace: $(sample)" >&2; done) &
    pids+=($!)
fi
# Warm-up: the first third of the run, and until a few boxes have come and gone; the first box
# loads what every later one shares (fonts, the window system's resources).
answeredSoFar() { [[ -f $work/answered ]] && wc -l <"$work/answered" || echo 0; }
sleep $((seconds / 3))
while (($(answeredSoFar) < 3)) && kill -0 "$churn" 2>/dev/null; do
    sleep 1
done
read -r fds_warm rss_warm < <(sample)
wait "$churn" || true
sleep 2
failures=()
if ! kill -0 "$monitor" 2>/dev/null; then
    failures+=("the monitor exited: $(tail -n 3 "$work/monitor.log")")
    read -r fds_end rss_end <<<"0 0"
else
    read -r fds_end rss_end < <(sample)
fi

report=$(<"$work/churn.json")
field() { sed -n "s/.*\"$1\": \([^,}]*\).*/\1/p" <<<"$report"; }
read -r sum bytes _ < <(cksum "$work/MARLOVEN.SIT")
[[ $sum == "$(field cksum)" && $bytes == "$(field bytes)" ]] ||
    failures+=("the station file changed: cksum $sum $bytes, churn wrote $(field cksum) $(field bytes)")
[[ $(field refusals_unheld) == 0 ]] ||
    failures+=("$(field refusals_unheld) lock attempts refused on records no workstation held")
[[ $(field errors) == 0 ]] || failures+=("the churn process met $(field errors) errors")
[[ $fds_end == "$fds_warm" ]] || failures+=("open descriptors went from $fds_warm to $fds_end")
awk -v a="$rss_warm" -v b="$rss_end" 'BEGIN { exit !(b <= a * 1.05 && b >= a * 0.95) }' ||
    failures+=("resident memory went from $rss_warm kB to $rss_end kB")

# Still refreshing: a header written now shows in the caption within a few ticks.
"$stationctl" set "$work/MARLOVEN.SIT" --header --tally 77 >/dev/null
refreshed=no
for _ in $(seq 30); do
    if xdotool search --pid "$monitor" --name '^Conexiones activas: 77' >/dev/null 2>&1; then
        refreshed=yes
        break
    fi
    sleep 0.1
done
[[ $refreshed == yes ]] || failures+=("the window no longer refreshes")

answered=$(answeredSoFar)
echo "soak: ${seconds} s, seed $seed; churn: $report"
echo "soak: monitor fds $fds_warm -> $fds_end, RSS $rss_warm -> $rss_end kB, boxes answered $answered"
if ((${#failures[@]} > 0)); then
    printf 'soak FAILED: %s\n' "${failures[@]}" >&2
    exit 1
fi
echo "soak: passed"
