#!/bin/bash
# Builds the demo user database and a project-local ODBC configuration in DIR:
#   DIR/marloven.db   SQLite database made from marloven.sql
#   DIR/odbcinst.ini  the SQLite3 driver
#   DIR/odbc.ini      the data source MARLOVEN
# Use it with: ODBCSYSINI=DIR ODBCINI=DIR/odbc.ini
set -euo pipefail

dir=${1:?usage: $0 DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The driver's folder depends on the architecture (/usr/lib/<triplet>/odbc on Debian).
driver=
for candidate in /usr/lib/*/odbc/libsqlite3odbc.so /usr/lib/odbc/libsqlite3odbc.so \
    /usr/lib64/libsqlite3odbc.so /usr/lib/libsqlite3odbc.so; do
    if [[ -f $candidate ]]; then
        driver=$candidate
        break
    fi
done
[[ -n $driver ]] || { echo "$0: SQLite ODBC driver not found (package libsqliteodbc)" >&2; exit 1; }

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -f "$dir/marloven.db"
sqlite3 -bail "$dir/marloven.db" <"$here/marloven.sql"

cat >"$dir/odbcinst.ini" <<INI
[SQLite3]
Driver=$driver
INI

# An absolute path: a relative Database= would be read from the program's current directory.
# NoCreat: a database file that went missing is an error, not a new empty database.
cat >"$dir/odbc.ini" <<INI
[MARLOVEN]
Driver=SQLite3
Database=$dir/marloven.db
NoCreat=1
INI
