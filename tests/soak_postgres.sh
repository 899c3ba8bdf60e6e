#!/usr/bin/env bash
# The kill soak on the PostgreSQL store: the cluster that ctest's fixture qlx_pg started
# (its folder in QLX_TEST_PG_DIR), whose server the soak crashes and restarts with
# `scripts/pg.sh restart` when given --restarts. Exits 77 (reported skipped) with the
# reason when there is no cluster.
#
#   tests/soak_postgres.sh SOURCE_DIR QLX_SOAK [ARGUMENTS...]
set -euo pipefail
source_dir=$1 soak=$2
shift 2
dir=${QLX_TEST_PG_DIR:-/nonexistent}
if [ ! -f "$dir/env" ]; then
  echo "SKIPPED: no PostgreSQL cluster: $(cat "$dir/unavailable" 2>/dev/null || echo "QLX_TEST_PG_DIR not set")"
  exit 77
fi
QLX_BROKER=$(sed -n 's/^QLX_BROKER=//p' "$dir/env")
QLX_SOAK_RESTART="$(printf '%q restart %q' "$source_dir/scripts/pg.sh" "$dir")"
export QLX_BROKER QLX_SOAK_RESTART QLX_SYNC=FULL
exec "$soak" "$@"
