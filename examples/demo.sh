#!/usr/bin/env bash
# The whole workflow on the embedded broker: load the demo directory, start the tee
# (zvrtee, recording into a file), the broker component (zvrbc, map `route`) and the
# transformation component (zvrtbc, map `upper`) as background services, replay the
# message file examples/demo/messages.txt with the test client (zvrclnt -i), show each
# request with its response, replay the tee's recording the same way, show the queues
# and the log, and stop every server with SIGTERM. examples/demo/directory.toml draws the workflow.
#
#   examples/demo.sh [BUILD_DIR]        (default: build)
#
# Environment:
#   DEMO_ZVRBC_MAPS, DEMO_ZVRTBC_MAPS   map folder of zvrbc / zvrtbc (default BUILD_DIR/maps)
#   DEMO_TIMEOUT                        seconds allowed for the replay (default 30)
#   DEMO_HOME                           a new folder to use as the broker home and keep, so
#                                       that the console (qlxadm serve) can show it after
#   DEMO_APART=1                        every program (each server, the client, qlxadm)
#                                       runs in an empty folder of its own with a broker
#                                       home of its own, as on separate hosts: they share
#                                       only the broker address (QLX_BROKER, a database)
#   DEMO_RUN_SERVERS, DEMO_RUN_CLIENT   a command the servers / the client and qlxadm run
#                                       under (e.g. `ip netns exec NAME`), with DEMO_APART
#
# Runs in a fresh temporary broker home, removed at the end (unless DEMO_HOME). Exits 0 only when every
# request got its expected response, nothing is left on any queue and every server ended
# with status 0; otherwise it names the step that failed and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "demo: no build folder ${1:-build}" >&2; exit 1; }
bin=$build/bin
messages=examples/demo/messages.txt
timeout_s=${DEMO_TIMEOUT:-30}
step_name="Check the build"

step() {
  step_name=$*
  printf '\n== %s\n' "$*"
}

fail() {
  printf '\ndemo: FAILED at step "%s": %s\n' "$step_name" "$*" >&2
  exit 1
}

for f in "$bin/qlxadm" "$bin/zvrtee" "$bin/zvrbc" "$bin/zvrtbc" "$bin/zvrclnt" \
         "$build/lib/libzvrear.so"; do
  [ -e "$f" ] || fail "$f not found; build first (cmake --preset default && cmake --build --preset default)"
done

work=$(mktemp -d /tmp/zvr-demo.XXXXXX)
export QLX_HOME=${DEMO_HOME:-$work/home}
if [ -n "${DEMO_HOME:-}" ] && [ -n "$(ls -A "$DEMO_HOME" 2>/dev/null)" ]; then
  fail "DEMO_HOME $DEMO_HOME is not empty; give a new folder"
fi
apart=${DEMO_APART:-}
if [ -n "$apart" ]; then
  [ -n "${QLX_BROKER:-}" ] || fail "DEMO_APART needs a shared broker address in QLX_BROKER"
  unset QLX_HOME
fi
read -r -a run_servers <<<"${DEMO_RUN_SERVERS:-}"
read -r -a run_client <<<"${DEMO_RUN_CLIENT:-}"
declare -A pids=()

cleanup() {
  local name
  disown -a 2>/dev/null || true
  for name in "${!pids[@]}"; do
    kill -KILL "${pids[$name]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A program's own folder and broker home when apart: created empty on first use.
place() {
  mkdir -p "$work/$1/home"
  echo "$work/$1"
}

# as NAME: sets `via` to what runs a command as the program NAME: apart, in its own folder
# and home. env and ip exec what they run, so that the process id stays the program's
# and signals reach the program itself.
as() {
  via=()
  [ -n "$apart" ] || return 0
  via=(env -C "$(place "$1")" "QLX_HOME=$work/$1/home")
  case $1 in
    zvrtee | zvrbc | zvrtbc) via+=("${run_servers[@]}") ;;
    *) via+=("${run_client[@]}") ;;
  esac
}

adm() {
  local via
  as qlxadm
  "${via[@]}" "$bin/qlxadm" "$@"
}

# Starts a server in the background with its standard error in $work/NAME.err. Apart, it
# reads a copy of the maps in its own folder.
start() {
  local name=$1 maps=$2
  shift 2
  if [ -n "$apart" ]; then
    cp -r "$maps" "$(place "$name")/maps"
    maps=$work/$name/maps
  fi
  as "$name"
  MERC_MAP_PATH=$maps "${via[@]}" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids[$name]=$!
  printf '%-7s pid %-7s %s\n' "$name" "${pids[$name]}" "${*#"$bin/"}"
}

# Waits until a server has written its start-up line, or fails showing its output.
await_start() {
  local name=$1 i
  for ((i = 0; i < 150; i++)); do
    grep -qi 'initialized\.' "$work/$name.err" 2>/dev/null && return 0
    kill -0 "${pids[$name]}" 2>/dev/null || break
    sleep 0.1
  done
  tail -n 20 "$work/$name.err" >&2 || true
  fail "$name did not start"
}

step "Load the demo directory (broker home ${QLX_HOME:-"of each program's own"})"
# The directory names the error-action exit relative to its own folder; the copy loaded
# here names the one of this build.
sed "s|\"../../build/lib/libzvrear.so\"|\"$build/lib/libzvrear.so\"|" \
  examples/demo/directory.toml >"$work/directory.toml"
adm load "$work/directory.toml" || fail "qlxadm load refused the demo directory"
adm show service DEMO
adm show dictionary DemoBroker
adm show dictionary DemoTransform

step "Start the servers in the background"
recording=$work/recording.msgs
[ -n "$apart" ] && recording=$(place zvrtee)/recording.msgs
start zvrtee "$build/maps" "$bin/zvrtee" -e TEE1 -hdr -o "$recording"
start zvrbc "${DEMO_ZVRBC_MAPS:-$build/maps}" "$bin/zvrbc" -e ZVRBC1 -destination -key DemoBroker
start zvrtbc "${DEMO_ZVRTBC_MAPS:-$build/maps}" "$bin/zvrtbc" -e ZVRTBC1 -destination -key DemoTransform
for name in zvrtee zvrbc zvrtbc; do await_start "$name"; done
echo "all three are serving"

# replay FILE: sends every message of FILE to the service DEMO with zvrclnt -i, shows each
# request with its response, fails unless the responses are $expected, and takes the last
# response back off the client's queue: zvrclnt rolls back its open unit of work when it
# ends, so the response it took last is back there with backout count 1.
replay() {
  local file=$1 why="" rc=0 i received last
  # zvrclnt waits up to 50 s for each response; a request that failed lands on an error
  # queue instead, so watch those and stop waiting as soon as one holds something.
  if [ -n "$apart" ]; then
    cp "$file" "$(place zvrclnt)/messages.txt"
    file=messages.txt
  fi
  as zvrclnt
  "${via[@]}" "$bin/zvrclnt" -c DEMOCLIENT -s DEMO -i "$file" >"$work/zvrclnt.out" 2>"$work/zvrclnt.err" &
  pids[zvrclnt]=$!
  for ((i = 0; i < timeout_s * 10; i++)); do
    kill -0 "${pids[zvrclnt]}" 2>/dev/null || break
    if ! adm errors | grep -q '^no entries'; then why="a request landed on an error queue"; break; fi
    sleep 0.1
  done
  kill -0 "${pids[zvrclnt]}" 2>/dev/null && why=${why:-"zvrclnt was still waiting after $timeout_s s"}
  kill -TERM "${pids[zvrclnt]}" 2>/dev/null || true
  wait "${pids[zvrclnt]}" || rc=$?
  unset "pids[zvrclnt]"
  echo
  awk '/^Sending Message: *$/ { getline; print "request:  " $0 }
       /^Received Message: *$/ { getline; print "response: " $0 }' "$work/zvrclnt.err"
  received=$(awk '/^Received Message: *$/ { getline; print }' "$work/zvrclnt.err")
  if [ "$received" != "$expected" ]; then
    echo >&2
    [ -n "$why" ] && echo "$why" >&2
    printf 'expected responses:\n%s\n' "$expected" >&2
    echo "error queues:" >&2
    adm errors >&2 || true
    fail "$(printf '%s\n' "$received" | grep -c .) of $(printf '%s\n' "$expected" | grep -c .) responses came back as expected"
  fi
  [ "$rc" -eq 0 ] || fail "zvrclnt ended with status $rc"
  echo "every request got its response"
  last=$(adm get client:DEMOCLIENT) || fail "the last response is not on the client's queue"
  [ "$last" = "$(printf '%s\n' "$expected" | tail -n 1)" ] || fail "the client's queue holds \"$last\""
  echo "(the last response, rolled back by zvrclnt as it ended, taken off its queue: $last)"
}

step "Replay $messages with zvrclnt -i (client DEMOCLIENT, service DEMO)"
grep -v '^#' "$messages" | tail -n +2
expected=$(grep -v '^#' "$messages" | tail -n +2 |
  sed -n 's/.*FormatName: \([^ ]*\) .*MsgBuffer: \[\([^]]*\)\].*/\1 \2/p' |
  while read -r format body; do
    if [ "$format" = ORDERS ]; then echo "${body^^}"; else echo "$body"; fi
  done)
replay "$messages"

step "What zvrtee recorded: a message file zvrclnt -i can replay"
cp "$recording" "$work/replay.msgs"
cat "$work/replay.msgs"

step "Replay zvrtee's recording with zvrclnt -i"
replay "$work/replay.msgs"

step "Queues afterwards: nothing left, nothing in flight"
adm queues
adm errors
if adm queues | awk 'body && ($2 != 0 || $3 != 0) { bad = 1 } $1 == "QUEUE" { body = 1 }
                    END { exit !bad }'; then
  fail "messages are left on a queue"
fi

step "The broker log"
# A get that found no request is no failure; should the broker log such entries, they are
# counted here, not shown.
# Apart, each program keeps its own log in its own home.
all_logs() {
  local name
  if [ -z "$apart" ]; then adm log -n 100000; return; fi
  for name in qlxadm zvrtee zvrbc zvrtbc zvrclnt; do
    env -C "$(place "$name")" "QLX_HOME=$work/$name/home" "$bin/qlxadm" log -n 100000
  done
}
all_logs >"$work/log.txt"
idle=$(grep -c 'qlxGetRequest failed with reason 20:' "$work/log.txt" || true)
grep -v 'qlxGetRequest failed with reason 20:' "$work/log.txt" | tail -n 60
[ "$idle" -eq 0 ] || echo "($idle entries of a wait for a request that timed out not shown)"

step "Stop every server with SIGTERM"
for name in zvrtee zvrbc zvrtbc; do
  kill -TERM "${pids[$name]}"
done
for name in zvrtee zvrbc zvrtbc; do
  status=0
  for ((i = 0; i < 100; i++)); do
    kill -0 "${pids[$name]}" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "${pids[$name]}" 2>/dev/null && fail "$name still runs 10 s after SIGTERM"
  wait "${pids[$name]}" || status=$?
  unset "pids[$name]"
  echo "$name ended with status $status"
  [ "$status" -eq 0 ] || { tail -n 20 "$work/$name.err" >&2; fail "$name ended with status $status"; }
done

echo "the log's last word from each server:"
all_logs | grep -A 1 'Shutting Down' | grep -v '^--$'

printf '\ndemo: the whole workflow ran; every response came back and every server ended with status 0\n'
if [ -n "${DEMO_HOME:-}" ]; then
  printf '\nTo watch the demo'"'"'s broker in the web console, run\n  %s --home %s serve\n' \
    "$bin/qlxadm" "$DEMO_HOME"
  printf 'and open http://127.0.0.1:8089/ (resubmit and purge ask for the token in %s/console-token).\n' \
    "$DEMO_HOME"
else
  printf '\nTo watch a broker in the web console, run the demo with DEMO_HOME=NEW_FOLDER (kept),\n'
  printf 'then %s --home NEW_FOLDER serve and open http://127.0.0.1:8089/.\n' "$bin/qlxadm"
fi
