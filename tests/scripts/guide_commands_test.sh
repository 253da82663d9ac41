#!/usr/bin/env bash
# The documents' command lines match the programs' --help, and the check finds a line that
# drifted: each case below is appended to a copy of the user guide, and the check must fail
# naming that line, or pass where the line is no command of ours.
#   tests/scripts/guide_commands_test.sh ORVENDAL STATIONCTL GUIDE [DOCUMENT...]
set -euo pipefail
orvendal=${1:?usage: $0 ORVENDAL STATIONCTL GUIDE [DOCUMENT...]}
stationctl=${2:?}
guide=${3:?}
check=$(dirname "$0")/guide_commands.py
scratch=$(mktemp -d /tmp/orvendal-guide.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

/usr/bin/python3 "$check" "$orvendal" "$stationctl" "${@:3}"

failures=0
# name | outcome | the block appended to the guide ('\n' between its lines); a failing case's
# first line is the one the check must name.
cases=(
    "unknown command|fail|stationctl frobnicate MARLOVEN.SIT"
    "unknown option after sudo, a variable and before a pipe|fail|\$ sudo -u orvendal LANG=C stationctl history j.db --frobnicate | head"
    "unknown option on a continuation line|fail|stationctl watch MARLOVEN.SIT \\\\\n    --frobnicate"
    "unknown option of the window|fail|orvendal --frobnicate MARLOVEN.SIT"
    "unknown short option|fail|/usr/bin/stationctl check MARLOVEN.SIT -z 3"
    "options of the command a pipe feeds|pass|stationctl status MARLOVEN.SIT --json | jq --raw-output .total"
    "the output of a prompted command|pass|\$ stationctl where\nstationctl frobnicate"
    "an option inside a quoted argument|pass|stationctl history j.db --at \"x --frobnicate\""
    "a quote that runs over three lines|pass|sqlite3 j.db \"SELECT\nstationctl frobnicate\n\""
    "another program|pass|sudo systemctl frobnicate orvendal-watch # stationctl frobnicate"
)
for case in "${cases[@]}"; do
    IFS='|' read -r name outcome block <<<"$case"
    copy=$scratch/user-guide.md
    cp "$guide" "$copy"
    printf '\n```sh\n' >>"$copy"
    line=$(($(wc -l <"$copy") + 1))
    printf '%b\n```\n' "$block" >>"$copy"
    if /usr/bin/python3 "$check" "$orvendal" "$stationctl" "$copy" >"$scratch/out" 2>&1; then
        [[ $outcome == pass ]] || {
            echo "not caught: $name" >&2
            failures=$((failures + 1))
        }
    elif [[ $outcome == pass ]]; then
        echo "caught, though no command of ours drifted: $name" >&2
        cat "$scratch/out" >&2
        failures=$((failures + 1))
    elif ! grep -q "^$copy:$line: " "$scratch/out"; then
        echo "caught without naming line $line: $name" >&2
        cat "$scratch/out" >&2
        failures=$((failures + 1))
    fi
done
((failures == 0)) || exit 1
echo "guide commands: ${#cases[@]} drift cases told apart"
