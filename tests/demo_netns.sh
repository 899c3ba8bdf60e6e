#!/usr/bin/env bash
# The whole demo workflow with its programs on separate network hosts: a throwaway
# PostgreSQL cluster (scripts/pg.sh) in this namespace, the three servers in a network
# namespace of their own and the client with qlxadm in another, each namespace joined to
# the database by a veth pair. Every program runs in an empty folder with a broker home of
# its own (the demo's DEMO_APART); the database address is all they share. Exits 77
# (reported skipped) with the reason when namespaces or the cluster cannot be had.
#
#   tests/demo_netns.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
skip() { echo "SKIPPED: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
tag=qlx$$
servers=${tag}s client=${tag}c
ip netns add "$servers" 2>/dev/null || skip "this machine does not let a test create network namespaces (ip netns add failed)"
dir=""
cleanup() {
  ip netns del "$servers" 2>/dev/null || true
  ip netns del "$client" 2>/dev/null || true
  [ -z "$dir" ] || "$source_dir/scripts/pg.sh" stop "$dir"
}
trap cleanup EXIT
ip netns add "$client"

# The database answers on 10.231.1.1, the host side of the servers' pair; the client's
# namespace reaches it through the host side of its own pair.
net=10.231
join() {
  local ns=$1 n=$2
  ip link add "${tag}h$n" type veth peer name "${tag}n$n"
  ip link set "${tag}n$n" netns "$ns"
  ip addr add "$net.$n.1/24" dev "${tag}h$n"
  ip link set "${tag}h$n" up
  ip -n "$ns" addr add "$net.$n.2/24" dev "${tag}n$n"
  ip -n "$ns" link set "${tag}n$n" up
  ip -n "$ns" link set lo up
  ip -n "$ns" route add default via "$net.$n.1"
}
join "$servers" 1
join "$client" 2

cluster=$("$source_dir/scripts/pg.sh" start) || skip "no PostgreSQL cluster could be started"
dir=$(sed -n 1p <<<"$cluster")
uri=$(sed -n 2p <<<"$cluster")
# The cluster listens on 127.0.0.1 only: add the namespaces' side and let them in.
runuser -u postgres -- tee -a "$dir/data/postgresql.conf" >/dev/null <<<"listen_addresses = '127.0.0.1,$net.1.1'"
runuser -u postgres -- tee -a "$dir/data/pg_hba.conf" >/dev/null <<<"host qlx broker $net.0.0/16 scram-sha-256"
"$source_dir/scripts/pg.sh" restart "$dir"

QLX_BROKER=${uri/@127.0.0.1:/@$net.1.1:}
export QLX_BROKER
# Nothing on this host can take the place of the database: the loopback address is not
# what the programs are given.
[ "$QLX_BROKER" != "$uri" ] || { echo "demo_netns: unexpected broker address" >&2; exit 1; }
echo "demo_netns: servers in $servers, client and qlxadm in $client, database at $net.1.1"
DEMO_APART=1 DEMO_RUN_SERVERS="ip netns exec $servers" DEMO_RUN_CLIENT="ip netns exec $client" \
  "$source_dir/examples/demo.sh" "$build"
