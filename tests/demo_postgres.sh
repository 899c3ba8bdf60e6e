#!/usr/bin/env bash
# A demo on the PostgreSQL store: the cluster that ctest's fixture qlx_pg started (its
# folder in QLX_TEST_PG_DIR), emptied first, then the demo script given with its
# arguments. Exits 77 (reported skipped) with the reason when there is no cluster.
#
#   tests/demo_postgres.sh DEMO_SCRIPT BUILD_DIR
set -euo pipefail
script=$1 build=$2
env_file=${QLX_TEST_PG_DIR:-/nonexistent}/env
if [ ! -f "$env_file" ]; then
  echo "SKIPPED: no PostgreSQL cluster: $(cat "${QLX_TEST_PG_DIR:-/nonexistent}/unavailable" 2>/dev/null || echo "QLX_TEST_PG_DIR not set")"
  exit 77
fi
QLX_BROKER=$(sed -n 's/^QLX_BROKER=//p' "$env_file")
export QLX_BROKER
scratch=$(mktemp -d /tmp/qlxdemo-pg.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
QLX_HOME=$scratch "$build/bin/qlxadm" reset >/dev/null
"$script" "$build"
