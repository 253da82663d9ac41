#!/usr/bin/env bash
# Runs a script of ours with a private TMPDIR and fails if any process it started is still there
# once it has ended: one whose command line, current folder or executable lies in that TMPDIR.
# The leftovers found are stopped by their own pids, so a failure leaves nothing behind either.
#   tests/scripts/leftovers_test.sh SCRIPT [ARGS...]
set -euo pipefail
private=$(mktemp -d /tmp/orvendal-leftovers.XXXXXX)
trap 'rm -rf "$private"' EXIT

TMPDIR="$private" bash "$@" >"$private.log" 2>&1 || {
    cat "$private.log" >&2
    rm -f "$private.log"
    exit 1
}
rm -f "$private.log"

leftovers=()
for proc in /proc/[0-9]*; do
    pid=${proc#/proc/}
    [[ $pid == "$$" ]] && continue
    # A process may end while it is read: what cannot be read is left out.
    where="$({ tr '\0' ' ' <"$proc/cmdline"; } 2>/dev/null || true)"
    where+=" $(readlink "$proc/cwd" 2>/dev/null || true) $(readlink "$proc/exe" 2>/dev/null || true)"
    [[ $where == *"$private/"* ]] && leftovers+=("$pid")
done
if ((${#leftovers[@]} > 0)); then
    for pid in "${leftovers[@]}"; do
        echo "left running: $pid $({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null || true)" >&2
        kill "$pid" 2>/dev/null || true
    done
    exit 1
fi
echo "no process left by $1"
