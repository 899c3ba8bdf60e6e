#!/usr/bin/env bash
# Sets up, builds and runs the demo: a request that travels through the embedded broker.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
# The demo's broker home is kept in the build folder for the console it names at its end.
rm -rf build/demo-home
DEMO_HOME="$PWD/build/demo-home" exec examples/demo.sh build
