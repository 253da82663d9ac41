#!/bin/bash
# Runs the look-up benchmark on SQLite and on a throw-away PostgreSQL server.
#   scripts/bench-lookup.sh [BUILD_DIR] [benchmark options...]
# BUILD_DIR (default: build) must hold bench/lookup/lookup_bench.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-$here/../build}
shift || true
bench=$(find "$build" -type f -name lookup_bench -perm -u+x | head -n 1)
[[ -n $bench ]] || { echo "$0: no lookup_bench under $build (build it first)" >&2; exit 1; }

export ORVENDAL_PG_STATE
ORVENDAL_PG_STATE=$(mktemp -d /tmp/orvendal-bench-pg.XXXXXX)
trap '"$here/pg-test-server.sh" stop "$ORVENDAL_PG_STATE"; rm -rf "$ORVENDAL_PG_STATE"' EXIT
"$here/pg-test-server.sh" start "$ORVENDAL_PG_STATE"

"$bench" "$@" sqlite
"$bench" "$@" postgresql
