#!/bin/bash
# A throw-away PostgreSQL server for the look-up tests and benchmark.
#   pg-test-server.sh start|stop|down|up|restart STATE_DIR
# start: initdb into a fresh temporary folder, listen on 127.0.0.1 at the first free port from a
# private range and on a private socket folder, create the role "general" (LOGIN, trust, no
# password) and its database "marloven" holding an empty table GenUsu.
# STATE_DIR receives "port" and "root" (the temporary folder); stop removes both and the folder.
# down, up and restart stop and start the same server on the same port, for tests of a server
# that goes away under a client.
set -euo pipefail

action=${1:-}
state=${2:-}
if [[ -z $action || -z $state ]]; then
    echo "usage: $0 start|stop|down|up|restart STATE_DIR" >&2
    exit 2
fi

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -n $pgbin ]] || { echo "$0: no PostgreSQL server installed" >&2; exit 1; }

# The server refuses to run as root; its files must belong to the user that runs it.
as_pg() {
    if [[ $(id -u) == 0 ]]; then runuser -u postgres -- "$@"; else "$@"; fi
}

pgctl() { as_pg "$pgbin/pg_ctl" -D "$root/data" -l "$root/server.log" "$@"; }

stop() {
    [[ -f $state/root ]] || return 0
    root=$(<"$state/root")
    if [[ -d $root/data ]]; then
        pgctl stop -m immediate -w >/dev/null 2>&1 || true
    fi
    rm -rf -- "$root"
    rm -f -- "$state/root" "$state/port"
}

start() {
    stop
    mkdir -p "$state"
    root=$(mktemp -d /tmp/orvendal-pg.XXXXXX)
    echo "$root" >"$state/root"
    mkdir "$root/socket"
    [[ $(id -u) != 0 ]] || chown -R postgres: "$root"
    as_pg "$pgbin/initdb" -D "$root/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
        >"$root/initdb.log" 2>&1 || { cat "$root/initdb.log" >&2; exit 1; }

    # Several builds may run their tests at once: try ports until the server binds one.
    local base=$((40000 + $(cksum <<<"$state" | cut -d' ' -f1) % 20000)) port
    for ((port = base; port < base + 50; port++)); do
        echo "-p $port -k $root/socket -c listen_addresses=127.0.0.1 -c fsync=off" >"$root/options"
        if pgctl start -w -t 30 -o "$(<"$root/options")" >/dev/null 2>&1; then
            echo "$port" >"$state/port"
            break
        fi
    done
    [[ -f $state/port ]] || { cat "$root/server.log" >&2; exit 1; }

    local psql=("$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$root/socket" -p "$port")
    as_pg "${psql[@]}" -U postgres -d postgres -c "CREATE ROLE general LOGIN" \
        -c "CREATE DATABASE marloven OWNER general"
    as_pg "${psql[@]}" -U general -d marloven -c "CREATE TABLE GenUsu (UsuCDG integer, Nombre text)"
}

same_server() {
    root=$(<"$state/root")
    case $1 in
    down) pgctl stop -m fast -w -t 30 >/dev/null ;;
    up) pgctl start -w -t 30 -o "$(<"$root/options")" >/dev/null ;;
    restart) pgctl restart -m fast -w -t 30 >/dev/null ;;
    esac
}

case $action in
start) start ;;
stop) stop ;;
down | up | restart) same_server "$action" ;;
*) echo "usage: $0 start|stop|down|up|restart STATE_DIR" >&2; exit 2 ;;
esac
