#!/usr/bin/env bash
# Sets up, builds and runs the demo: a request that travels through the embedded broker.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec examples/demo.sh build
