#!/usr/bin/env bash
# Runs the worked examples of one page of docs/ and checks their output.
#
#   tests/docs_examples.sh SOURCE_DIR BUILD_DIR PAGE.md
#
# Every ```sh block of the page runs, in order, in one bash, from a scratch folder that
# links build, examples, maps, platform and docs, after the setup block of docs/README.md
# (programs on PATH, sample maps on MERC_MAP_PATH, a fresh QLX_HOME with the demo
# directory loaded). A ```text block that follows a ```sh block (blank lines between are
# allowed) is that block's expected output, standard output and standard error together:
# a line "..." stands for any number of lines, "..." inside a line for any text, and
# trailing blanks do not count. A ```sh block preceded by the line <!-- not run --> is not
# run. Background jobs still running at the end are killed.
set -uo pipefail

[ $# -eq 3 ] || { echo "usage: $0 SOURCE_DIR BUILD_DIR PAGE.md" >&2; exit 2; }
src=$(cd "$1" && pwd) && build=$(cd "$2" && pwd) || exit 2
page=$3
[ -f "$page" ] || page=$src/$page
[ -f "$page" ] || { echo "no page $3" >&2; exit 2; }

work=$(mktemp -d /tmp/zvr-docs.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/blocks" "$work/out" "$work/tmp"
for d in examples maps platform docs; do ln -s "$src/$d" "$work/run/$d"; done
ln -s "$build" "$work/run/build"

# Splits a page into blocks/N.sh (with N.expected when an output block follows).
extract() {
  awk -v dir="$1" '
    function close_block() { if (file != "") close(file); file = "" }
    /^<!-- not run -->[ \t]*$/ { skip = 1; last = ""; next }
    /^```sh[ \t]*$/ && file == "" {
      if (skip) { skip = 0; inskip = 1; next }
      n++; file = dir "/" n ".sh"; printf "" > file; last = n; kind = "sh"; next
    }
    /^```text[ \t]*$/ && file == "" && last != "" {
      file = dir "/" last ".expected"; printf "" > file; kind = "text"; last = ""; next
    }
    /^```/ {
      if (inskip) { inskip = 0; next }
      if (file != "") { close_block(); if (kind == "text") last = ""; next }
      last = ""; fence = !fence; next
    }
    file != "" { print > file; next }
    /^[ \t]*$/ { next }
    { if (!fence && !inskip) last = ""; skip = 0 }
  ' "$2"
}

# Exit 0 when the output file matches the expected file.
matches() {
  awk '
    function trim(s) { sub(/[ \t\r]+$/, "", s); return s }
    function line_ok(e, a,    parts, k, n, pos, at) {
      if (index(e, "...") == 0) return e == a
      n = split(e, parts, /\.\.\./)
      if (substr(a, 1, length(parts[1])) != parts[1]) return 0
      pos = length(parts[1]) + 1
      for (k = 2; k < n; k++) {
        at = index(substr(a, pos), parts[k])
        if (at == 0) return 0
        pos += at - 1 + length(parts[k])
      }
      return length(a) - pos + 1 >= length(parts[n]) &&
             substr(a, length(a) - length(parts[n]) + 1) == parts[n]
    }
    function fits(i, j,    k, key) {
      key = i SUBSEP j
      if (key in memo) return memo[key]
      if (i > m) return memo[key] = (j > n)
      if (E[i] == "...") {
        for (k = j; k <= n + 1; k++) if (fits(i + 1, k)) return memo[key] = 1
        return memo[key] = 0
      }
      return memo[key] = (j <= n && line_ok(E[i], A[j]) && fits(i + 1, j + 1))
    }
    FNR == NR { E[++m] = trim($0); next }
    { A[++n] = trim($0) }
    END { exit !fits(1, 1) }
  ' "$1" "$2"
}

extract "$work/blocks" "$page"
mkdir -p "$work/setup" && extract "$work/setup" "$src/docs/README.md"
count=$(find "$work/blocks" -name '*.sh' | wc -l)
[ "$count" -gt 0 ] || { echo "$page has no examples" >&2; exit 1; }

{
  echo 'cd "$ZVR_DOCS_RUN" || exit 2'
  echo "source '$work/setup/1.sh' >'$work/out/setup' 2>&1 </dev/null"
  for ((i = 1; i <= count; i++)); do
    echo "source '$work/blocks/$i.sh' >'$work/out/$i' 2>&1 </dev/null"
  done
  echo 'jobs -p | while read -r p; do kill "$p" 2>/dev/null; done; wait'
} >"$work/runner.sh"

# The runner leads a process group of its own, so that whatever an example leaves running
# (or a page that hangs) is ended with it.
limit=${ZVR_DOCS_TIMEOUT:-150}
TMPDIR=$work/tmp ZVR_DOCS_RUN=$work/run setsid bash "$work/runner.sh" </dev/null &
runner=$!
failed=0
for ((t = 0; t < limit * 10; t++)); do
  kill -0 "$runner" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$runner" 2>/dev/null; then
  failed=1
  last=$(cd "$work/out" && ls | grep -v setup | sort -n | tail -n 1)
  echo "---- $page: example ${last:-1} still runs after $limit s; stopped"
  sed 's/^/  $ /' "$work/blocks/${last:-1}.sh"
  cat "$work/out/${last:-1}" 2>/dev/null
fi
kill -KILL -- "-$runner" 2>/dev/null
wait "$runner" 2>/dev/null

for ((i = 1; i <= count; i++)); do
  [ -f "$work/blocks/$i.expected" ] || continue
  if ! matches "$work/blocks/$i.expected" "$work/out/$i"; then
    failed=1
    echo "---- $page: example $i does not give the output shown"
    sed 's/^/  $ /' "$work/blocks/$i.sh"
    echo "---- expected:"
    cat "$work/blocks/$i.expected"
    echo "---- got:"
    cat "$work/out/$i"
  fi
done
[ "$failed" -eq 0 ] && echo "$page: $count examples give the output shown"
exit "$failed"
