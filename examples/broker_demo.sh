#!/usr/bin/env bash
# A request's trip through the embedded broker, with qlxadm alone: load the sample
# directory, serve business element E in one process, send a request to the service ECHO
# (workflow: E, then the client that sent it) from another, and read the response.
#
#   examples/broker_demo.sh [BUILD_DIR]        (default: build)
#
# The whole workflow, with the servers and tools, is examples/demo.sh.
#
# The broker home is a fresh temporary folder unless QLX_HOME is set.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
adm="$build/bin/qlxadm"
[ -x "$adm" ] || { echo "demo: $adm not found; build first (cmake --preset default && cmake --build --preset default)" >&2; exit 1; }

if [ -z "${QLX_HOME:-}" ]; then
  QLX_HOME=$(mktemp -d /tmp/zvr-demo.XXXXXX)
  trap 'rm -rf "$QLX_HOME"' EXIT
fi
export QLX_HOME

step() { printf '\n== %s\n' "$*"; }

step "Load the directory (broker home $QLX_HOME)"
# The directory names the error-action exit relative to its own folder; the copy loaded
# here names the one of this build.
directory=$(mktemp /tmp/zvr-directory.XXXXXX)
sed "s|\"../build/lib/libzvrear.so\"|\"$(cd "$build" && pwd)/lib/libzvrear.so\"|" \
  examples/directory.toml >"$directory"
"$adm" load "$directory"
rm -f "$directory"
"$adm" show service ECHO

step "Serve business element E in the background: it forwards each request unchanged"
"$adm" echo E --count 2 &
echo_pid=$!

step "Send two requests to ECHO as client C1 and wait for each response"
"$adm" send ECHO --as C1 --format ORDERS --wait 10000 "order 1: 3 widgets"
echo "order 2: 5 gadgets" | "$adm" send ECHO --as C1 --format ORDERS --wait 10000 -
wait "$echo_pid"

step "Queues afterwards: nothing left, nothing in flight"
"$adm" queues

step "The broker log"
"$adm" log -n 10
