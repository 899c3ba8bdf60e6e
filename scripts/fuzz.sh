#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one: --short for a few seconds
# apiece (CI), otherwise for FUZZ_SECONDS (default 120) apiece. Findings go to
# build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-120}
[ "${1:-}" = "--short" ] && seconds=10

scripts/setup.sh
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is not installed; fuzz targets skipped"
  exit 0
fi
cmake --preset fuzz >/dev/null
targets=$(sed -n 's/^zvr_add_fuzzer(\([A-Za-z0-9_]*\).*/\1/p' fuzz/*.cmake)
# shellcheck disable=SC2086
cmake --build --preset fuzz --target $targets
mkdir -p build-fuzz/findings
shopt -s nullglob
for target in build-fuzz/bin/*_fuzz; do
  name=$(basename "$target")
  corpus=fuzz/corpus/$name
  work=build-fuzz/corpus/$name
  mkdir -p "$work"
  echo "fuzz: $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -artifact_prefix=build-fuzz/findings/ "$work" \
    $( [ -d "$corpus" ] && echo "$corpus" ) 2>&1 | tail -n 3
done
