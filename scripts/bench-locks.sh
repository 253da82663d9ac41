#!/usr/bin/env bash
# What `stationctl check` costs when many stations are connected, each with a lock of its own: a
# file of 2N stations, every other one held by another process (stationctl connect, so that no two
# locks touch and merge), for N = 10,000, 40,000 and 100,000. Wall and CPU seconds and peak
# resident memory from /usr/bin/time -v, as a Markdown table, for each build given (for instance
# one of the previous commit and one of this), all on the same locks. Taking N locks costs the
# kernel a walk of the file's locks for each: 100,000 take minutes to set up. Then, as root, the
# watcher and check while another user holds many locks on files of its own (below).
#   scripts/bench-locks.sh BUILD_DIR [BUILD_DIR...]
#   ORVENDAL_BENCH_LOCKS="10000 40000" scripts/bench-locks.sh build/dev
#   ORVENDAL_BENCH_LOCKS= ORVENDAL_BENCH_OTHERS=100000 scripts/bench-locks.sh build/dev
set -euo pipefail
(($# > 0)) || { echo "usage: $0 BUILD_DIR [BUILD_DIR...]" >&2; exit 2; }
builds=()
for build in "$@"; do
    builds+=("$(realpath -m "$build")")
    cmake --build "${builds[-1]}" --target stationctl >/dev/null
done
stationctl="${builds[0]}/tools/stationctl/stationctl"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvendal-locks-bench.XXXXXX")
cleanup() {
    [[ -n ${holder:-} ]] && kill "$holder" 2>/dev/null || true
    [[ -n ${other:-} ]] && kill "$other" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
file="$work/MARLOVEN.SIT"

echo "file system of $work: $(stat -f -c %T "$work"); locks on the machine before: $(wc -l </proc/locks)" >&2
echo "| build | stations | connected | check says | wall s | CPU s | peak MB |"
echo "|---|---:|---:|---|---:|---:|---:|"
for n in ${ORVENDAL_BENCH_LOCKS-10000 40000 100000}; do
    rm -f "$file"
    "$stationctl" create "$file" --stations $((2 * n)) >/dev/null
    echo "holding $n locks..." >&2
    # exec: the coprocess's pid is stationctl's own, which the kill below must reach.
    coproc HOLD { exec "$stationctl" connect "$file" $(seq 1 2 $((2 * n - 1))) --ignore-stdin; }
    holder=$HOLD_PID
    read -r -u "${HOLD[0]}" _line
    for build in "${builds[@]}"; do
        echo "check by $build..." >&2
        status=0
        /usr/bin/time -v -o "$work/time" "$build/tools/stationctl/stationctl" check "$file" \
            >"$work/check" || status=$?
        /usr/bin/python3 - "$work/time" "$work/check" "$build" "$n" "$status" <<'PY'
import re, sys
times, check, build, n, status = open(sys.argv[1]).read(), open(sys.argv[2]).read(), *sys.argv[3:]
def field(name):
    return re.search(re.escape(name) + r": (.*)", times).group(1).strip()
parts = [float(p) for p in field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":")]
wall = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
peak = int(field("Maximum resident set size (kbytes)")) / 1024
said = re.search(r"- (.*?) \|", check)
said = said.group(1) if said else check.strip() + f" (exit {status})"
print(f"| {build} | {2 * int(n):,} | {int(n):,} | {said} | {wall:.2f} | {cpu:.2f} | {peak:.1f} |")
PY
    done
    kill "$holder"
    wait "$holder" 2>/dev/null || true
    holder=
done

# Another local user, with no access to the station file, holds ORVENDAL_BENCH_OTHERS (300,000)
# locks on files of its own, while `stationctl watch` watches 2,000 stations with 1,000 connected:
# how late a new connection is told, and the watcher's CPU over that time. Root only (the other
# user is nobody).
if [[ $(id -u) != 0 ]]; then
    echo "(the watcher under another user's locks needs root to run a process as nobody)" >&2
    exit 0
fi
others="$work/others"
mkdir "$others"
chown nobody: "$others"
chmod 755 "$work"
rm -f "$file"
"$stationctl" create "$file" --stations 2000 >/dev/null
chmod 600 "$file"
coproc HOLD { exec "$stationctl" connect "$file" $(seq 1 2 1999) --ignore-stdin; }
holder=$HOLD_PID
read -r -u "${HOLD[0]}" _line
echo "another user taking ${ORVENDAL_BENCH_OTHERS:-300000} locks on its own files..." >&2
coproc OTHER {
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 -c '
import fcntl, os, sys
folder, count = sys.argv[1], int(sys.argv[2])
for n in range(0, count, 1000):
    fd = os.open(f"{folder}/{n}", os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    for k in range(min(1000, count - n)):
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 2 * k)
print("held", flush=True)
sys.stdin.read()
' "$others" "${ORVENDAL_BENCH_OTHERS:-300000}"
}
other=$OTHER_PID
read -r -u "${OTHER[0]}" _line
echo "locks on the machine: $(wc -l </proc/locks)" >&2
echo
echo "| build | another user's locks | check s | new connection told after s | watcher CPU s | watcher's reports |"
echo "|---|---:|---:|---:|---:|---|"
for build in "${builds[@]}"; do
    echo "watch by $build..." >&2
    /usr/bin/python3 - "$build/tools/stationctl/stationctl" "$file" \
        "${ORVENDAL_BENCH_OTHERS:-300000}" "$build" <<'PY'
import json, os, subprocess, sys, threading, time
stationctl, path, others, build = sys.argv[1:]
started = time.monotonic()
subprocess.run([stationctl, "check", path], stdout=subprocess.DEVNULL, check=False)
check = time.monotonic() - started
watch = subprocess.Popen([stationctl, "watch", path], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
reports = []
threading.Thread(target=lambda: reports.extend(watch.stderr), daemon=True).start()
def cpu():
    fields = open(f"/proc/{watch.pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
seen = 0
for line in watch.stdout:
    seen += json.loads(line)["event"] == "connected"
    if seen == 1000:
        break
# A few refreshes, in which the watcher turns to the kernel's table, before the newcomer.
time.sleep(5)
newcomer = subprocess.Popen([stationctl, "connect", path, "2000", "--ignore-stdin"],
                            stdout=subprocess.PIPE, text=True)
newcomer.stdout.readline()
connected = time.monotonic()
late = None
for line in watch.stdout:
    event = json.loads(line)
    if event["event"] == "connected" and event["rec"] == 2000:
        late = time.monotonic() - connected
        break
used = cpu()
newcomer.terminate()
watch.terminate()
watch.wait()
newcomer.wait()
told = "; ".join(r.strip() for r in reports) or "none"
print(f"| {build} | {int(others):,} | {check:.2f} | {late:.2f} | {used:.2f} | {told} |")
PY
done
