#!/usr/bin/env bash
# Installs the programs, libraries, sample maps, map header, examples and docs under a
# prefix (see cmake/install.cmake for the layout):
#
#   scripts/install.sh PREFIX
#
# Builds the default preset first when build/ holds no build yet, and brings an existing
# one up to date; with ZVR_BUILD_DIR set, installs that build as it stands. Needs write
# access to PREFIX (run it with sudo for /opt/zvr).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
prefix=$1
cd "$(dirname "$0")/.."

build=${ZVR_BUILD_DIR:-}
if [ -z "$build" ]; then
  build=build
  [ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
  cmake --build build >/dev/null
fi
cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed under $prefix: $("$prefix/bin/qlxadm" --version)"
