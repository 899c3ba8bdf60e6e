#!/usr/bin/env bash
# Sets up, builds and runs the demo: a request that travels through the embedded broker.
# With --postgres the same whole workflow runs on a throwaway PostgreSQL cluster
# (scripts/pg.sh), which is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
# The demo's broker home is kept in the build folder for the console it names at its end.
rm -rf build/demo-home
[ "${1:-}" = "--postgres" ] || DEMO_HOME="$PWD/build/demo-home" exec examples/demo.sh build

cluster=$(scripts/pg.sh start) || { echo "demo: no PostgreSQL cluster could be started" >&2; exit 1; }
dir=$(sed -n 1p <<<"$cluster")
trap 'scripts/pg.sh stop "$dir"' EXIT
QLX_BROKER=$(sed -n 2p <<<"$cluster")
export QLX_BROKER
echo "demo: on PostgreSQL at ${QLX_BROKER%%:*}://...@${QLX_BROKER##*@}"
examples/demo.sh build
