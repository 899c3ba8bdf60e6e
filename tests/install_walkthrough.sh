#!/usr/bin/env bash
# Runs the walkthrough of docs/operations.md ("From a clean machine to a running
# service") up to the step that needs systemd, and checks what it installed:
#
#   tests/install_walkthrough.sh SOURCE_DIR BUILD_DIR
#
# The sh blocks between <!-- walkthrough --> and <!-- end of walkthrough --> run in one
# bash, with /opt/zvr and /var/lib/zvr moved into a scratch folder, sudo and the switch to
# the service's user taken out, the build of BUILD_DIR installed as it stands, and the
# steps that need root (packages, useradd) left out.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 SOURCE_DIR BUILD_DIR" >&2; exit 2; }
src=$(cd "$1" && pwd) && build=$(cd "$2" && pwd) || exit 2
root=$(mktemp -d /tmp/zvr-install.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; echo "--- output:" >&2; cat "$root/out" >&2; exit 1; }

awk '/<!-- walkthrough -->/ { on = 1 } /<!-- end of walkthrough -->/ { on = 0 }
     on && /^```sh/ { code = 1; next } code && /^```/ { code = 0; next } on && code' \
  "$src/docs/operations.md" |
  grep -v -E '^(scripts/setup\.sh|sudo useradd )' |
  sed -e 's#sudo -u zvr ##g' -e 's#^sudo ##' -e 's# -o zvr -g zvr##' \
      -e "s#scripts/install.sh#ZVR_BUILD_DIR=$build $src/scripts/install.sh#" \
      -e "s#/opt/zvr#$root/opt/zvr#g" -e "s#/var/lib/zvr#$root/var/lib/zvr#g" \
      > "$root/steps.sh"
grep -q 'install.sh' "$root/steps.sh" || fail "no install step found in docs/operations.md"

# A clean environment: nothing of the build tree on the paths, the home only as the steps
# set it.
(cd "$root" && env -u QLX_HOME -u MERC_MAP_PATH -u LD_LIBRARY_PATH bash -e steps.sh) \
  > "$root/out" 2>&1 || fail "a step failed"

prefix=$root/opt/zvr
out=$(cat "$root/out")
for want in "installed under $prefix: qlxadm " "zvrtbc 1.0.0 (build " \
            "loaded $prefix/share/zvr/examples/demo/directory.toml: 5 elements" \
            "broker home $root/var/lib/zvr/broker, QLX_SYNC NORMAL" "FIRST ORDER" \
            "connected: broker home $root/var/lib/zvr/broker, QLX_SYNC NORMAL" \
            "Quor Transformation Component Shutting Down."; do
  [[ $out == *"$want"* ]] || fail "missing: $want"
done

# Every program and library finds the installed libraries, never the build's.
for f in "$prefix"/bin/* "$prefix"/lib/*.so; do
  runpath=$(readelf -d "$f" | grep -E 'RUNPATH|RPATH') || fail "$f has no RUNPATH"
  [[ $runpath == *'[$ORIGIN/../lib]'* ]] || fail "$f: $runpath"
done
if ldd "$prefix/bin/zvrbc" | grep -E 'lib(qlx|trc|merc)\.so' | grep -v -q "$prefix/bin/../lib/"; then
  fail "zvrbc resolves a library outside the prefix: $(ldd "$prefix/bin/zvrbc")"
fi
for f in include/zvr/merc_map.h share/zvr/map_main.cc share/doc/zvr/docs/operations.md \
         lib/zvr/maps/upper lib/zvr/maps/upper_so.so lib/libzvrear.so bin/zvrdumpt bin/zvrclnt \
         bin/zvrtee bin/zvrbc; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# --version alone answers with the version and build; with anything else it is an unknown
# argument, refused with the usage text as before.
for f in "$prefix"/bin/*; do
  name=$(basename "$f")
  said=$("$f" --version 2>&1) || fail "$name --version failed: $said"
  [[ $said =~ ^$name\ [0-9]+\.[0-9]+\.[0-9]+\ \(build\ .+\)$ ]] || fail "$name --version: $said"
done
for name in zvrbc zvrtbc zvrtee zvrdumpt zvrclnt; do
  said=$("$prefix/bin/$name" -e X --version 2>&1 </dev/null) && fail "$name took -e X --version"
  [[ $said == *Usage:* ]] || fail "$name -e X --version: $said"
done
echo "walkthrough passed"
