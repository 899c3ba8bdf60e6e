#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libsqlite3-dev
          libtomlplusplus-dev libbenchmark-dev sqlite3 libpq-dev postgresql iproute2)
# Optional: clang for the fuzz targets, multilib to check the 32-bit record layouts.
optional=(clang libclang-rt-dev g++-multilib)
# qlxadm serve's HTTP server; the console's browser test (skipped, saying so, without them).
packages+=(libcpp-httplib-dev)
optional+=(chromium chromium-driver python3-selenium)

missing=()
for p in "${packages[@]}" "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
# The optional packages may be absent from a mirror; the build works without them.
for p in "${optional[@]}"; do
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null 2>&1 ||
    echo "note: optional package $p not installed"
done
