#!/usr/bin/env bash
# On a machine without libsmbclient, an smb:// path fails with the advice to install it while
# local station files work as before. The programs run in a private mount namespace where
# libsmbclient.so.0 is an empty file, so the dynamic loader really cannot load it.
#   tests/files/smbclient_missing_test.sh STATIONCTL [ORVENDAL]
set -euo pipefail
stationctl=${1:?usage: $0 STATIONCTL [ORVENDAL]}
orvendal=${2:-}

if [[ ${ORVENDAL_IN_NAMESPACE:-} != 1 ]]; then
    if (($(id -u) != 0)); then
        echo "skipped: only root may mount over libsmbclient in a private namespace"
        exit 77
    fi
    if ! unshare --mount true 2>/dev/null; then
        echo "skipped: unshare --mount is not allowed here"
        exit 77
    fi
    exec env ORVENDAL_IN_NAMESPACE=1 unshare --mount --propagation private bash "$0" "$@"
fi

work=$(mktemp -d /tmp/orvendal-nosmbclient.XXXXXX)
trap 'rm -rf "$work"' EXIT
: >"$work/empty"
libraries=$(ldconfig -p | awk '$1 == "libsmbclient.so.0" {print $NF}')
[[ -n $libraries ]] || { echo "libsmbclient.so.0 is not installed, so nothing to hide" >&2; exit 1; }
for library in $libraries; do
    mount --bind "$work/empty" "$library"
    [[ ! -s $library ]] || { echo "$library is still there after the mount" >&2; exit 1; }
done

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# No server listens there: with the library loaded this would be a connection error instead.
for url in smb://127.0.0.1:9/datos/MARLOVEN.SIT 'smb://OFICINA;ana@127.0.0.1:9/datos/MARLOVEN.SIT'; do
    if "$stationctl" status "$url" >"$work/out" 2>&1; then
        fail "status $url succeeded without libsmbclient"
    fi
    for text in "no se puede cargar libsmbclient" "instale el paquete libsmbclient"; do
        grep -qF "$text" "$work/out" || fail "status $url does not say \"$text\": $(cat "$work/out")"
    done
done

"$stationctl" create "$work/MARLOVEN.SIT" --stations 3 >/dev/null ||
    fail "create of a local station file failed"
"$stationctl" set "$work/MARLOVEN.SIT" 2 --station 2 --name "Puesto dos" >/dev/null ||
    fail "set on a local station file failed"
"$stationctl" status --json "$work/MARLOVEN.SIT" >"$work/out" 2>&1 ||
    fail "status of a local station file failed: $(cat "$work/out")"
grep -qF "Puesto dos" "$work/out" || fail "status of a local station file lacks its row: $(cat "$work/out")"

if [[ -n $orvendal ]]; then
    "$orvendal" --help >"$work/out" 2>&1 || fail "orvendal --help failed: $(cat "$work/out")"
fi

((failures == 0)) || exit 1
echo "without libsmbclient: smb:// paths refused with the advice, local station files work"
