#!/usr/bin/env bash
# Installs, with apt-get, the packages of scripts/packages.txt (or only the ones named as
# arguments) that are not installed yet, installing nothing when all are there, and generates the
# locale es_ES.UTF-8 when it is missing.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if (($# > 0)); then
    wanted=("$@")
else
    mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/packages.txt")
fi
missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The tests of the OS's error texts in Spanish need this locale.
if ! locale -a 2>/dev/null | grep -qix 'es_ES\.utf-\?8'; then
    echo "Generating the locale es_ES.UTF-8"
    $sudo localedef -i es_ES -c -f UTF-8 es_ES.UTF-8
fi
