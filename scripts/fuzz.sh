#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one in turn:
#   scripts/fuzz.sh            FUZZ_SECONDS (default 120) apiece
#   scripts/fuzz.sh --short    ten seconds apiece (what CI runs)
#   scripts/fuzz.sh --long     to FUZZ_RUNS (default 10 million) executions apiece, niced
# Names of targets (after the option, if any) run those alone, e.g. scripts/fuzz.sh --long
# messagefile_fuzz; start a second such run on another core once the first has built.
# Each target starts from its committed seed corpus (fuzz/corpus/NAME/) and keeps what it
# finds in build-fuzz/corpus/NAME/; an input that breaks it is kept in build-fuzz/findings/.
# Every target runs even when an earlier one failed; the exit status is 1 if any did.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time="${FUZZ_SECONDS:-120}")
runner=()
case "${1:-}" in
  --short)
    limit=(-max_total_time=10)
    shift
    ;;
  --long)
    limit=(-runs="${FUZZ_RUNS:-10000000}")
    runner=(nice -n 19)
    shift
    ;;
esac

# A smaller quarantine than the default and no allocation stacks while fuzzing: every
# failed read makes an error object, and recording where each block came from took most of
# the time of the targets that fail often. Use-after-free is still caught within 64 MiB;
# an input that breaks a target is replayed with full stacks for the report (see below).
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64:malloc_context_size=0}

scripts/setup.sh
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is not installed; fuzz targets skipped"
  exit 0
fi
cmake --preset fuzz >/dev/null
all=$(sed -n 's/^zvr_add_fuzzer(\([A-Za-z0-9_]*\).*/\1/p' fuzz/*.cmake)
targets=${*:-$all}
for name in $targets; do
  if ! grep -qx "$name" <<<"$all"; then
    echo "fuzz: no target named $name; the targets are:" $all >&2
    exit 2
  fi
done
# shellcheck disable=SC2086
cmake --build --preset fuzz --target $targets
mkdir -p build-fuzz/findings

# Runs the input that broke target $1 once more with the sanitizers' full allocation and
# free stacks, appending the report to its log.
replayWithStacks() {
  local crash
  crash=$(sed -n 's/^artifact_prefix=.*Test unit written to \(.*\)$/\1/p' "build-fuzz/$1.log" | tail -n 1)
  [ -n "$crash" ] && [ -f "$crash" ] || return 0
  echo "fuzz: replaying $crash with full stacks (build-fuzz/$1.log)"
  ASAN_OPTIONS=malloc_context_size=30 "build-fuzz/bin/$1" "$crash" >>"build-fuzz/$1.log" 2>&1 || true
}

failed=0
for name in $targets; do
  work=build-fuzz/corpus/$name
  mkdir -p "$work"
  corpora=("$work")
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  echo "fuzz: $name (${limit[*]})"
  # Standard error of the code under test is closed (-close_fd_mask=2): libFuzzer and the
  # sanitizers still report on a copy of it. The last lines give the executions done.
  if ! "${runner[@]}" "build-fuzz/bin/$name" "${limit[@]}" -close_fd_mask=2 \
      -artifact_prefix=build-fuzz/findings/ "${corpora[@]}" >"build-fuzz/$name.log" 2>&1; then
    failed=1
    echo "fuzz: $name FAILED; the log is build-fuzz/$name.log"
    grep -E '^(==|SUMMARY|artifact_prefix)' "build-fuzz/$name.log" || true
    replayWithStacks "$name"
  fi
  grep -E '^(#[0-9]+.*DONE|Done [0-9]+ runs)' "build-fuzz/$name.log" || tail -n 3 "build-fuzz/$name.log"
done
exit "$failed"
