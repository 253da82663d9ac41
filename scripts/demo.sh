#!/usr/bin/env bash
# The live demo: installs the missing Debian packages, builds from scratch (Release, into
# build/release), lays build/demo/ with the monitor, a station file of a dozen stations and the
# demo user database, and runs the monitor while `stationctl simulate` stands in for the
# workstations. Closing the window ends the demo and stops the simulator.
# Without a display ($DISPLAY and $WAYLAND_DISPLAY unset), or with --headless, it runs the demo
# under Xvfb and openbox for a few seconds, saves a screenshot, says where, and exits 0.
#   bash scripts/demo.sh [--headless]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/release"
demo="$root/build/demo"

headless=0
case ${1:-} in
"") ;;
--headless) headless=1 ;;
-h | --help)
    sed -n '2,8s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
    exit 0
    ;;
*)
    echo "usage: $0 [--headless]" >&2
    exit 2
    ;;
esac
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
    headless=1
fi

bash "$root/scripts/install-deps.sh"
echo "== build: Release, from scratch, into $build"
rm -rf "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVENDAL_WITH_BENCH=OFF >/dev/null
cmake --build "$build" --target orvendal stationctl

echo "== demo folder: $demo"
rm -rf "$demo"
mkdir -p "$demo"
# The monitor opens MARLOVEN.SIT in the folder of its running image, and a symbolic link would
# resolve to the build folder: the programs are copied. stationctl beside it names the same file.
cp "$build/src/app/orvendal" "$build/tools/stationctl/stationctl" "$demo/"
stationctl="$demo/stationctl"
station_file=$("$stationctl" where)
"$stationctl" create "$station_file" --stations 12
while IFS=$'\t' read -r row lc number connection name; do
    [[ -z $row || $row == \#* ]] && continue
    "$stationctl" set "$station_file" "$row" --lc "$lc" --station "$number" \
        --connection "$connection" --name "$name" --tally $((RANDOM % 40))
done <"$root/scripts/demo/stations.tsv"

# The demo user database behind the data source MARLOVEN, for the double-click look-up.
bash "$root/scripts/demo/make-odbc.sh" "$demo/odbc"
export ODBCSYSINI="$demo/odbc" ODBCINI="$demo/odbc/odbc.ini"

pids=()
cleanup() {
    # The programs this script started, newest first: the simulator disconnects its stations.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT

"$stationctl" simulate "$station_file" </dev/null >"$demo/simulate.log" 2>&1 &
pids+=($!)

if ((!headless)); then
    echo "== Orvendal is running; close its window to end the demo."
    echo "   (touch $demo/out.vrl to see LOCK in its caption; double-click a row for its user)"
    cd "$demo"
    ./orvendal
    exit
fi

echo "== no display: the demo under Xvfb and openbox for a few seconds"
unset WAYLAND_DISPLAY
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$demo/display" 2>"$demo/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
    [[ -s $demo/display ]] && break
    sleep 0.1
done
[[ -s $demo/display ]] || {
    echo "Xvfb did not start; see $demo/xvfb.log" >&2
    exit 1
}
DISPLAY=":$(<"$demo/display")"
export DISPLAY
openbox >"$demo/openbox.log" 2>&1 &
pids+=($!)
# A window mapped before the window manager has taken over the screen is never shown.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done

(cd "$demo" && exec ./orvendal) >"$demo/orvendal.log" 2>&1 &
monitor=$!
pids+=("$monitor")
window=$(timeout 30 xdotool search --sync --onlyvisible --pid "$monitor" | head -n 1) || true
[[ -n $window ]] || {
    echo "the monitor's window did not appear; see $demo/orvendal.log" >&2
    exit 1
}
# Wide enough for every column; then a few of the simulator's connects and disconnects.
xdotool windowmove "$window" 40 60 windowsize "$window" 720 250
sleep 6
kill -0 "$monitor" 2>/dev/null || {
    echo "the monitor ended early; see $demo/orvendal.log" >&2
    exit 1
}

# The window with the frame openbox put around it, and a margin.
frame=$(xwininfo -children -id "$window" | awk '/Parent window id/ {print $4}')
eval "$(xdotool getwindowgeometry --shell "$frame")"
margin=10
shot="$demo/screenshot.png"
import -window root -crop "$((WIDTH + 2 * margin))x$((HEIGHT + 2 * margin))+$((X - margin))+$((Y - margin))" \
    +repage "$shot"
echo "== screenshot: $shot"
