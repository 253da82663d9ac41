#!/usr/bin/env bash
# Builds the Debian package from BUILD_DIR and checks that lintian finds no error or warning in it,
# that it unpacks into a scratch root with every file in place, declares its dependencies, and
# that the unpacked programs run.
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
root=$(mktemp -d /tmp/orvendal-package.XXXXXX)
trap 'rm -rf "$root" "$root.log"' EXIT
(cd "$build" && cpack -G DEB) >"$root.log" 2>&1 || { cat "$root.log"; exit 1; }
deb=$(ls -t "$build"/orvendal_*.deb | head -n 1)
dpkg -x "$deb" "$root"

failures=0
fail() {
    echo "package: $*" >&2
    failures=$((failures + 1))
}

# Debian's own checks; a tag the package cannot help is overridden in it, with the reason.
lintian --fail-on error,warning --info "$deb" >"$root.log" 2>&1 || {
    grep -v '^running with root privileges' "$root.log" >&2
    fail "lintian finds errors or warnings"
}

expected=(
    usr/bin/orvendal
    usr/bin/stationctl
    usr/share/applications/orvendal.desktop
    usr/share/mime/packages/orvendal.xml
    usr/share/man/man1/orvendal.1.gz
    usr/share/man/man1/stationctl.1.gz
    usr/share/doc/orvendal/copyright
    usr/share/doc/orvendal/changelog.gz
    usr/share/doc/orvendal/README.md
    usr/share/doc/orvendal/docs/user-guide.md
    usr/share/doc/orvendal/orvendal-alerts.yml
    usr/share/lintian/overrides/orvendal
    usr/lib/systemd/system/orvendal-watch.service
    usr/lib/systemd/system/orvendal-watch@.service
    usr/libexec/orvendal/textfile-link
    usr/lib/sysusers.d/orvendal.conf
    etc/default/orvendal-watch
    etc/orvendal/watch/README
)
for size in 16 32 48 256; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/orvendal.png")
done
for file in "${expected[@]}"; do
    [[ -f $root/$file ]] || fail "missing $file"
done
for size in 16 32 48 256; do
    icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/orvendal.png
    [[ -f $icon && $(identify -format '%wx%h' "$icon") == "${size}x${size}" ]] ||
        fail "the ${size}x${size} icon is not ${size}x${size}"
done
for page in orvendal stationctl; do
    man -l "$root/usr/share/man/man1/$page.1.gz" >/dev/null 2>&1 || fail "man page $page.1 does not render"
done
changelog=$(zcat "$root/usr/share/doc/orvendal/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[[ $changelog == "$(dpkg-deb -f "$deb" Version)" ]] ||
    fail "the changelog's last entry is $changelog, the package $(dpkg-deb -f "$deb" Version)"
# The installed documents' relative links name files installed beside them.
while read -r doc; do
    while read -r target; do
        [[ -e $(dirname "$doc")/$target ]] || fail "${doc#"$root"/} links to $target, not installed"
    done < <(grep -oE '\]\([^)#]+' "$doc" | cut -c3- | grep -vE '^[a-z]+:' || true)
done < <(find "$root/usr/share/doc/orvendal" -name '*.md')

depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 libodbc2 libsmbclient qt6-qpa-plugins qt6-translations-l10n; do
    [[ $depends == *"$package"* ]] || fail "Depends lacks $package: $depends"
done
[[ $(dpkg-deb -f "$deb" Recommends) == *libsqliteodbc* ]] || fail "Recommends lacks libsqliteodbc"

"$root/usr/bin/stationctl" --help >/dev/null || fail "the unpacked stationctl does not run"
[[ $("$root/usr/bin/stationctl" where) == "$root/usr/bin/MARLOVEN.SIT" ]] ||
    fail "stationctl where does not name the file beside the programs"

# The watchers' units as systemd reads them (the template as one of its instances), run on the
# unpacked programs, with the same sandbox; and their settings conffiles that the
# administrator's edits survive.
units=$root/usr/lib/systemd/system
for unit in orvendal-watch.service orvendal-watch@contabilidad.service; do
    sed "s#/usr/bin/stationctl#$root/usr/bin/stationctl#; s#/usr/libexec/#$root/usr/libexec/#" \
        "$units/${unit/@contabilidad/@}" >"$root/$unit"
    verify=$(systemd-analyze verify --man=no "$root/$unit" 2>&1) && [[ -z $verify ]] ||
        fail "systemd-analyze verify rejects $unit: $verify"
done
# Each unit's own web ports apart: the single watcher's 8468, the instances' 8469-8479.
sandbox() {
    sed -n '/^User=/,$p' "$units/$1" |
        grep -v -e '^#' -e '^$' -e '^StateDirectory=' -e '^SocketBindAllow='
}
[[ $(sandbox orvendal-watch.service) == "$(sandbox orvendal-watch@.service)" ]] ||
    fail "the units' sandboxes differ: $(diff <(sandbox orvendal-watch.service) <(sandbox orvendal-watch@.service))"
for conffile in /etc/default/orvendal-watch /etc/orvendal/watch/README; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx "$conffile" ||
        fail "$conffile is not a conffile"
done

# The maintainer scripts parse, and on a systemd machine stop the watcher before it is removed
# and restart it after an upgrade, as dh_installsystemd's do. They run in a mount namespace whose
# /run has systemd's marker, /var/lib is empty and /usr/libexec the package's, with the tools
# they call recorded instead of run.
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$root" ./postinst ./prerm ./postrm
shims=$root/shims
mkdir "$shims"
for tool in deb-systemd-invoke deb-systemd-helper systemctl systemd-sysusers systemd-tmpfiles; do
    # shellcheck disable=SC2016 # expanded by the shim
    printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\n' "$tool" >"$shims/$tool"
    chmod 755 "$shims/$tool"
done
# The calls of `SCRIPT ARGS...`, one a line.
calls() {
    : >"$root/calls"
    # shellcheck disable=SC2016 # expanded by the inner shell
    CALLS=$root/calls PATH=$shims:$PATH unshare -m sh -c \
        'mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/lib &&
            mount --bind "$0/usr/libexec" /usr/libexec && mkdir -p /run/systemd/system &&
            exec "$@"' \
        "$root" "$root/$1" "${@:2}" >/dev/null
    cat "$root/calls"
}
for script in postinst prerm postrm; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -tv "./$script" | grep -q '^-rwxr-xr-x' ||
        fail "the $script is not executable"
    sh -n "$root/$script" || fail "the $script does not parse"
done
name=orvendal-watch.service
run=$(calls prerm remove) || fail "prerm remove fails"
[[ $run == *"deb-systemd-invoke stop $name"* ]] || fail "prerm remove does not stop $name: $run"
run=$(calls prerm upgrade 0.0.1) || fail "prerm upgrade fails"
[[ $run != *deb-systemd-invoke* ]] || fail "prerm upgrade stops $name, which the postinst restarts"
run=$(calls postinst configure 0.0.1) || fail "postinst configure (an upgrade) fails"
[[ $run == *"deb-systemd-invoke restart $name"* ]] || fail "an upgrade does not restart $name: $run"
calls postrm remove >/dev/null || fail "postrm remove fails"
run=$(calls postrm purge) || fail "postrm purge fails"
[[ $run == *"deb-systemd-helper purge $name"* ]] || fail "postrm purge does not purge $name: $run"

# The service writes nothing but its state folder, and node_exporter reaches its textfile
# through the postinst's link: run the package's own scripts on a scratch root that has
# node_exporter's folder as Debian makes it (dpkg --root passes DPKG_ROOT the same way).
service=$root/usr/lib/systemd/system/orvendal-watch.service
state=/var/lib/$(sed -n 's/^StateDirectory=//p' "$service")
textfile=$(sed -n 's/^PROMETHEUS=//p' "$root/etc/default/orvendal-watch")
[[ $textfile == "$state"/*.prom ]] ||
    fail "PROMETHEUS=$textfile is not in the service's state folder $state"
grep -q '^ReadWritePaths=' "$service" && fail "the service may write outside its state folder"
grep -qx 'LimitCORE=0' "$service" || fail "the service may dump core with the password"
mkdir -p "$root/etc" "$root/var/lib/prometheus/node-exporter"
link=$root/var/lib/prometheus/node-exporter/orvendal.prom
DPKG_ROOT=$root "$root/postinst" configure || fail "the postinst fails"
[[ $(readlink "$link") == "$textfile" ]] ||
    fail "node_exporter's link points to '$(readlink "$link")', not to $textfile"
grep -q '^orvendal:' "$root/etc/passwd" || fail "the postinst does not create the user orvendal"
DPKG_ROOT=$root "$root/postinst" configure || fail "the postinst fails when run again"
DPKG_ROOT=$root "$root/postrm" remove || fail "the postrm fails"
[[ -e $link || -L $link ]] && fail "the postrm leaves the link behind"
# The real node_exporter serves, through that link, the textfile the unpacked stationctl writes
# as the service's user would, in a mount namespace whose /var/lib is the scratch root's.
DPKG_ROOT=$root "$root/postinst" configure || fail "the postinst fails"
chmod 755 "$root"
mkdir -p "$root$state"
chown nobody "$root$state"
chmod "$(sed -n 's/^StateDirectoryMode=//p' "$service")" "$root$state"
"$root/usr/bin/stationctl" create "$root/MARLOVEN.SIT" --stations 3 >/dev/null
port=$((20000 + RANDOM % 20000))
# shellcheck disable=SC2016 # expanded by the inner shell
scrape=$(timeout 60 unshare -m sh -c '
    set -e
    root=$1 port=$2 textfile=$3
    mount --bind "$root/var/lib" /var/lib
    umask "$(sed -n "s/^UMask=//p" "$root/usr/lib/systemd/system/orvendal-watch.service")"
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$root/usr/bin/stationctl" watch \
        "$root/MARLOVEN.SIT" --prometheus "$textfile" >/dev/null &
    watcher=$!
    until [ -s "$textfile" ]; do sleep 0.1; done
    kill "$watcher"
    prometheus-node-exporter --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory=/var/lib/prometheus/node-exporter \
        --web.listen-address="127.0.0.1:$port" 2>/dev/null &
    exporter=$!
    until /usr/bin/python3 -c "import sys, urllib.request
sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())" \
        "http://127.0.0.1:$port/metrics" 2>/dev/null; do sleep 0.1; done
    kill "$exporter"
' sh "$root" "$port" "$textfile") || fail "the watcher or node_exporter does not run"
stations=$'\norvendal_stations{file="'$root/MARLOVEN.SIT$'"} 3\n'
[[ $scrape == *"$stations"* && $scrape == *$'\nnode_textfile_scrape_error 0\n'* ]] ||
    fail "node_exporter does not serve the service's textfile through the link"
[[ $(stat -c %a "$root$textfile") == 644 ]] || fail "the textfile is not readable by node_exporter"

# node_exporter installed after the package: its folder comes with it, and the package's file
# trigger on that folder runs the postinst, which makes the link.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers |
    grep -qx 'interest-noawait /var/lib/prometheus/node-exporter' ||
    fail "no trigger on node_exporter's textfile folder"
rm -rf "$root/var/lib/prometheus"
DPKG_ROOT=$root "$root/postinst" configure || fail "the postinst fails without node_exporter"
[[ -e $root/var/lib/prometheus ]] && fail "the postinst makes node_exporter's folder"
mkdir -p "$root/var/lib/prometheus/node-exporter"
DPKG_ROOT=$root "$root/postinst" triggered /var/lib/prometheus/node-exporter ||
    fail "the postinst fails when node_exporter comes later"
[[ $(readlink "$link") == "$textfile" ]] || fail "node_exporter installed later gets no link"

rm -f "$link"
chown nobody "$root/var/lib/prometheus/node-exporter"
DPKG_ROOT=$root "$root/postinst" configure 2>/dev/null &&
    fail "the postinst writes in a textfile folder that is not root's"
[[ -L $link ]] && fail "the postinst made a link in a textfile folder that is not root's"

if ((failures > 0)); then
    exit 1
fi
echo "package: $(basename "$deb") unpacks with ${#expected[@]} files in place; Depends: $depends"
