#!/usr/bin/env bash
# The demo with one server's map folder empty must exit non-zero and name the failing step.
#
#   tests/demo_missing_map.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1 build=$2
empty=$(mktemp -d /tmp/zvr-nomaps.XXXXXX)
trap 'rm -rf "$empty" "$out"' EXIT
out=$(mktemp /tmp/zvr-demo-out.XXXXXX)

for server in ZVRTBC ZVRBC; do
  status=0
  env "DEMO_${server}_MAPS=$empty" DEMO_TIMEOUT=10 "$src/examples/demo.sh" "$build" >"$out" 2>&1 ||
    status=$?
  if [ "$status" -eq 0 ] || ! grep -q 'demo: FAILED at step "Replay ' "$out"; then
    cat "$out"
    echo "without the maps of ${server,,} the demo ended with status $status and did not name the replay step" >&2
    exit 1
  fi
  grep 'demo: FAILED' "$out"
done
