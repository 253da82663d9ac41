#!/bin/bash
# A throw-away Samba server for the tests of station files served over SMB.
#   smb-test-server.sh start STATE_DIR ['PARAMETER = VALUE'...]
#   smb-test-server.sh stop STATE_DIR
# start: smbd in the foreground on 127.0.0.1 at the first free port from a private range, with
# its whole configuration, databases and share in a fresh temporary folder. The share "station"
# serves the folder written to STATE_DIR/path; each PARAMETER (e.g. 'posix locking = no') is
# added to the share's section. The user, whose name and password are new each time, is mapped
# to the existing account nobody and works on the share as root, so files the tests make there
# need no particular owner or mode. Nothing outside the temporary folder is touched.
# STATE_DIR receives one value a file: port, share, path (the share's folder on this machine),
# user, password, conf (smb.conf, for smbstatus -s or smbclient -s), pid (smbd's, which leads
# its own process group) and root (the temporary folder); stop ends every smbd process of that
# server and removes the files and the folder. Exits 77 when not run as root, as smbd must be.
set -euo pipefail

action=${1:-}
state=${2:-}
usage() {
    echo "usage: $0 start STATE_DIR ['PARAMETER = VALUE'...] | stop STATE_DIR" >&2
    exit 2
}
[[ -n $action && -n $state ]] || usage

# True while `pid` is still this server's smbd (and not a pid the system has given to another).
ours() { grep -qsF -- "$conf" "/proc/$1/cmdline"; }

stop() {
    [[ -f $state/root ]] || return 0
    root=$(<"$state/root")
    conf=$root/smb.conf
    if [[ -f $state/pid ]]; then
        local pid
        pid=$(<"$state/pid")
        if ours "$pid"; then
            kill -TERM "$pid" 2>/dev/null || true
            for _ in {1..50}; do
                ours "$pid" || break
                sleep 0.1
            done
        fi
        # Connection and helper processes the main one left behind are in its process group.
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
    rm -rf -- "$root"
    rm -f -- "$state"/{port,share,path,user,password,conf,pid,root}
}

write_conf() { # write_conf PORT PARAMETER...
    local port=$1
    shift
    {
        cat <<EOF
[global]
    server role = standalone server
    interfaces = 127.0.0.1
    bind interfaces only = yes
    smb ports = $port
    disable netbios = yes
    private dir = $root/private
    lock directory = $root/lock
    state directory = $root/state
    cache directory = $root/cache
    pid directory = $root/pid
    ncalrpc dir = $root/ncalrpc
    # Also where a crashing smbd would put its cores.
    log file = $root/log/smbd.log
    passdb backend = tdbsam:$root/private/passdb.tdb
    username map = $root/users.map
    load printers = no
    printing = bsd
    printcap name = /dev/null
    # One NT_STATUS_WRONG_PASSWORD line a failed log-on, for counting them.
    log level = 1 auth_audit:3

[station]
    path = $root/station
    read only = no
    force user = root
EOF
        for parameter in "$@"; do
            echo "    $parameter"
        done
    } >"$conf"
}

# True while the child `pid` of this script runs (a child's pid stays its own until it is waited
# for; an ended one is a zombie until then).
running() { [[ $(ps -o stat= -p "$1" 2>/dev/null) == [^Z]* ]]; }

# Waits until the server at `port` lets the user in; fails when smbd has ended (its port was
# taken) or after 10 s.
wait_ready() { # wait_ready PID PORT
    for _ in {1..100}; do
        running "$1" || return 1
        if smbclient "//127.0.0.1/station" -p "$2" -s "$conf" -U "$user%$password" -c ls \
            >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

start() {
    [[ $(id -u) == 0 ]] || { echo "$0: smbd needs root" >&2; exit 77; }
    stop
    mkdir -p "$state"
    root=$(mktemp -d /tmp/orvendal-smb.XXXXXX)
    echo "$root" >"$state/root"
    # smbd checks the share's folder and every one above it as the session's user.
    chmod 0755 "$root"
    mkdir "$root"/{private,lock,state,cache,pid,ncalrpc,log,station}
    conf=$root/smb.conf
    user=orvsmb$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')
    password=$(od -An -N12 -tx4 /dev/urandom | tr -d ' ')
    echo "nobody = $user" >"$root/users.map"

    # Several builds may run their tests at once: try ports until a server binds one.
    local base=$((20000 + ($(cksum <<<"$state" | cut -d' ' -f1) + $$) % 20000)) port pid
    for ((port = base; port < base + 50; port++)); do
        write_conf "$port" "${@:3}"
        if [[ ! -f $root/private/passdb.tdb ]]; then
            printf '%s\n%s\n' "$password" "$password" |
                smbpasswd -c "$conf" -s -a nobody >"$root/smbpasswd.log" 2>&1 ||
                { cat "$root/smbpasswd.log" >&2; exit 1; }
        fi
        # smbd makes itself a session leader, so it outlives this script; no terminal or pipe of
        # the caller's stays open in it.
        smbd -F --debug-stdout -s "$conf" </dev/null >"$root/smbd.log" 2>&1 &
        pid=$!
        echo "$pid" >"$state/pid"
        if wait_ready "$pid" "$port"; then
            printf '%s\n' "$port" >"$state/port"
            break
        fi
        # smbd may not have made its process group yet: the pid itself too.
        kill -KILL -- "-$pid" "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [[ -f $state/port ]] || { cat "$root/smbd.log" >&2; stop; exit 1; }
    echo station >"$state/share"
    echo "$root/station" >"$state/path"
    echo "$user" >"$state/user"
    echo "$password" >"$state/password"
    echo "$conf" >"$state/conf"
}

case $action in
start) start "$@" ;;
stop) stop ;;
*) usage ;;
esac
