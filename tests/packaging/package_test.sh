#!/usr/bin/env bash
# The Debian package installed by dpkg as root in a mount namespace of its own, whose /etc, /usr,
# /var and /run are overlays of the machine's on a tmpfs: what dpkg, the maintainer scripts and
# the watchers write goes when the test ends, and the machine's own packages, users and services
# are never touched. Exits 77 (skipped) when not root.
#   upgrade    on a machine that systemd runs, the package over itself under a lower version
#              keeps the administrator's edited /etc/default/orvendal-watch, the watchers' files
#              and node_exporter's link, and asks for one restart of orvendal-watch and one of
#              the running further watchers; removal stops them all, keeps the files and masks
#              nothing; installed again after 0.1.0's removal masked the unit, it is unmasked;
#              purge takes the settings, the textfiles, the links and deb-systemd-helper's
#              records, and keeps the journals, the administrator's .conf and the user orvendal
#   instances  two orvendal-watch@NAME run as systemd would (unitrun.py) on two station files
#              whose records other processes hold locked: each writes its own journal and its own
#              textfile, which node_exporter reaches through its own link, and neither shows the
#              other's stations; once stopped, the enabled one keeps its link and the other does
#              not. A NAME that is not a plain word, or has no .conf, is refused in the unit's own
#              output and makes nothing. systemd-analyze verify accepts an instance.
#   tests/packaging/package_test.sh upgrade|instances DEB_FOLDER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ -z ${ORVENDAL_LAYERS:-} ]]; then
    if [[ $(id -u) != 0 ]]; then
        echo "skipped: installing a package in a private mount namespace needs root"
        exit 77
    fi
    status=0
    ORVENDAL_LAYERS=$(mktemp -d /tmp/orvendal-layers.XXXXXX)
    export ORVENDAL_LAYERS
    unshare --mount --propagation private bash "$0" "$@" || status=$?
    rmdir "$ORVENDAL_LAYERS"
    exit "$status"
fi
mount -t tmpfs tmpfs "$ORVENDAL_LAYERS"
for dir in etc usr var run; do
    layer=$ORVENDAL_LAYERS/$dir
    mkdir "$layer" "$layer.work"
    mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$layer,workdir=$layer.work" "/$dir"
done

case=${1:?usage: $0 upgrade|instances DEB_FOLDER}
deb=$(ls -t "${2:?usage: $0 upgrade|instances DEB_FOLDER}"/orvendal_*.deb | head -n 1)
scratch=$(mktemp -d /tmp/orvendal-package.XXXXXX)
chmod 755 "$scratch"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
failures=0
fail() {
    echo "$case: $*" >&2
    failures=$((failures + 1))
}
# dpkg ARGS..., leaving the service actions it asked for in $scratch/calls.
run_dpkg() {
    : >"$scratch/calls"
    PATH=$scratch/shims:$PATH dpkg --no-triggers "$@" >"$scratch/dpkg.log" 2>&1 ||
        { cat "$scratch/dpkg.log" >&2; exit 1; }
}
textfiles=/var/lib/prometheus/node-exporter
state=/var/lib/orvendal
mkdir -p "$textfiles" "$scratch/shims"

upgrade() {
    local version wants data link
    dpkg-deb -R "$deb" "$scratch/old"
    version=$(dpkg-deb -f "$deb" Version)
    sed -i "s/^Version: .*/Version: $version~older/" "$scratch/old/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$scratch/old" "$scratch/old.deb" >/dev/null
    # To the scripts this machine runs systemd: /run/systemd/system exists. As it does not,
    # systemctl and deb-systemd-invoke are stand-ins that record what the scripts ask of them;
    # deb-systemd-helper, which only writes its records and links, is the real one.
    mkdir -p /run/systemd/system
    for tool in systemctl deb-systemd-invoke; do
        printf '#!/bin/sh\necho "%s $*" >>%s/calls\n' "$tool" "$scratch" >"$scratch/shims/$tool"
        chmod 755 "$scratch/shims/$tool"
    done
    wants=/etc/systemd/system/multi-user.target.wants/orvendal-watch.service
    data=("$state/journal.db" "$state/orvendal.prom" "$state/watch/a.db" "$state/watch/a.prom")

    run_dpkg -i "$scratch/old.deb"
    systemctl --root=/ enable orvendal-watch.service 2>/dev/null
    sed -i 's|^STATION_FILE=.*|STATION_FILE=/srv/a/MARLOVEN.SIT|' /etc/default/orvendal-watch
    cp /etc/default/orvendal-watch "$scratch/edited"
    echo STATION_FILE=/srv/b/MARLOVEN.SIT >/etc/orvendal/watch/a.conf
    mkdir -p "$state/watch"
    for file in "${data[@]}"; do
        echo "$file" >"$file"
    done
    sha256sum "${data[@]}" >"$scratch/data.sha256"
    link=$(stat -c %i "$textfiles/orvendal.prom")

    run_dpkg -i "$deb"
    [[ $(dpkg-query -W -f '${Version}' orvendal) == "$version" ]] || fail "$version not installed"
    [[ $(grep -v daemon-reload "$scratch/calls" | sort) == "$(printf '%s\n' \
        'deb-systemd-invoke restart orvendal-watch.service' \
        'deb-systemd-invoke try-restart orvendal-watch@*.service')" ]] ||
        fail "the upgrade asked: $(cat "$scratch/calls")"
    cmp -s /etc/default/orvendal-watch "$scratch/edited" || fail "the upgrade changed the settings"
    [[ -z $(find /etc -name '*.dpkg-*') ]] || fail "the upgrade left $(find /etc -name '*.dpkg-*')"
    sha256sum --quiet -c "$scratch/data.sha256" || fail "the upgrade changed the watchers' files"
    [[ $(stat -c %i "$textfiles/orvendal.prom") == "$link" ]] || fail "the upgrade made a new link"
    [[ -L $wants ]] || fail "the upgrade disabled orvendal-watch.service"

    run_dpkg -r orvendal
    [[ $(grep -v daemon-reload "$scratch/calls") == \
        'deb-systemd-invoke stop orvendal-watch.service orvendal-watch@*.service' ]] ||
        fail "the removal asked: $(cat "$scratch/calls")"
    sha256sum --quiet -c "$scratch/data.sha256" || fail "the removal changed the watchers' files"
    cmp -s /etc/default/orvendal-watch "$scratch/edited" || fail "the removal changed the settings"
    [[ -z $(find "$textfiles" -name 'orvendal*') ]] || fail "the removal left $(ls "$textfiles")"
    [[ -e /etc/systemd/system/orvendal-watch.service ]] && fail "the removal masked the unit"

    # As 0.1.0's postrm did at its removal, after the debhelper of its time.
    DPKG_MAINTSCRIPT_PACKAGE=orvendal deb-systemd-helper mask orvendal-watch.service
    run_dpkg -i "$deb"
    [[ -e /etc/systemd/system/orvendal-watch.service ]] && fail "installed again, it stays masked"

    run_dpkg -P orvendal
    for file in /etc/default/orvendal-watch /etc/orvendal/watch/README "$state/orvendal.prom" \
        "$state/watch/a.prom" "$wants" "$textfiles"/orvendal* \
        /var/lib/systemd/deb-systemd-helper-enabled/orvendal-watch.service.dsh-also; do
        [[ -e $file || -L $file ]] && fail "the purge left $file"
    done
    for file in "$state/journal.db" "$state/watch/a.db" /etc/orvendal/watch/a.conf; do
        [[ -f $file ]] || fail "the purge removed $file"
    done
    grep -q '^orvendal:' /etc/passwd || fail "the purge removed the user orvendal"
}

# Waits up to a minute for FILE to hold LINE as a whole line.
wait_for_line() {
    local end=$((SECONDS + 60))
    until grep -qxF -- "$2" "$1" 2>/dev/null; do
        ((SECONDS < end)) || return 1
        sleep 0.1
    done
}

instances() {
    local template=/usr/lib/systemd/system/orvendal-watch@.service verify name rows file
    local runners=() status
    run_dpkg -i "$deb"
    verify=$(cd / && systemd-analyze verify --man=no orvendal-watch@contabilidad.service 2>&1) &&
        [[ -z $verify ]] || fail "systemd-analyze verify rejects an instance: $verify"

    # name | rows held locked by another process
    local watchers=("contabilidad|2" "almacen|1 3")
    for watcher in "${watchers[@]}"; do
        IFS='|' read -r name rows <<<"$watcher"
        file=$scratch/$name/MARLOVEN.SIT
        mkdir "$scratch/$name"
        stationctl create "$file" --stations 4 >/dev/null
        # shellcheck disable=SC2086 # the rows are words
        stationctl connect "$file" $rows --ignore-stdin >"$scratch/$name.held" &
        pids+=($!)
        echo "STATION_FILE=$file" >"/etc/orvendal/watch/$name.conf"
        wait_for_line "$scratch/$name.held" "connected $rows" || fail "$name's rows are not held"
    done
    systemctl enable orvendal-watch@contabilidad.service 2>/dev/null
    for watcher in "${watchers[@]}"; do
        IFS='|' read -r name rows <<<"$watcher"
        /usr/bin/python3 "$here/unitrun.py" "$template" "$name" >"$scratch/$name.log" 2>&1 &
        pids+=($!)
        runners+=($!)
    done
    for watcher in "${watchers[@]}"; do
        IFS='|' read -r name rows <<<"$watcher"
        file=$scratch/$name/MARLOVEN.SIT
        wait_for_line "$state/watch/$name.prom" \
            "orvendal_stations_connected{file=\"$file\"} $(wc -w <<<"$rows")" ||
            fail "$name's textfile lacks its stations: $(cat "$scratch/$name.log")"
        [[ $(readlink "$textfiles/orvendal-$name.prom") == "$state/watch/$name.prom" ]] ||
            fail "node_exporter's link for $name is '$(readlink "$textfiles/orvendal-$name.prom")'"
        grep 'file="' "$state/watch/$name.prom" | grep -qvF "file=\"$file\"" &&
            fail "$name's textfile shows another station file: $(cat "$state/watch/$name.prom")"
    done
    for runner in "${runners[@]}"; do
        kill -TERM "$runner"
        wait "$runner" || fail "a watcher ended with status $?: $(cat "$scratch"/*.log)"
    done
    for watcher in "${watchers[@]}"; do
        IFS='|' read -r name rows <<<"$watcher"
        [[ $(stat -c %U "$state/watch/$name.db") == orvendal ]] || fail "$name's journal is not its"
        stationctl history "$state/watch/$name.db" --json >"$scratch/$name.json"
        [[ $(/usr/bin/python3 -c 'import json, sys
print(*sorted(s["rec"] for s in json.load(open(sys.argv[1]))["sessions"]))' "$scratch/$name.json") \
            == "$rows" ]] || fail "$name's journal has other sessions than rows $rows"
    done
    [[ -L $textfiles/orvendal-contabilidad.prom ]] || fail "an enabled watcher lost its link"
    [[ -L $textfiles/orvendal-almacen.prom ]] && fail "a watcher not enabled kept its link"

    # name | what the unit's output says
    local refused=(
        "a.b|«a.b» no es un nombre de vigilancia"
        "..|«..» no es un nombre de vigilancia"
        'conta\x2dbilidad|«conta\x2dbilidad» no es un nombre de vigilancia'
        "nueva|no existe /etc/orvendal/watch/nueva.conf"
    )
    for entry in "${refused[@]}"; do
        IFS='|' read -r name message <<<"$entry"
        [[ $name == nueva ]] || echo "STATION_FILE=$file" >"/etc/orvendal/watch/$name.conf"
        # A refused unit ends at once; one that runs instead is stopped, not waited for.
        status=0
        timeout 30 /usr/bin/python3 "$here/unitrun.py" "$template" "$name" >"$scratch/no.log" \
            2>&1 || status=$?
        ((status != 0 && status != 124)) || fail "orvendal-watch@$name ran"
        grep -qF "orvendal-watch@$name: $message" "$scratch/no.log" ||
            fail "orvendal-watch@$name does not say \"$message\": $(cat "$scratch/no.log")"
        [[ -z $(find "$textfiles" "$state" -name "*$name*") ]] || fail "$name made files"
    done
}

"$case"
((failures == 0))
