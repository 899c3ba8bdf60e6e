#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite. With --asan, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
[ "${1:-}" = "--asan" ] && preset=asan

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2
