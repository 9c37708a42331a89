#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libace-dev liblog4cplus-dev libssl-dev libgoogle-perftools-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libhiredis-dev redis-server kamailio
  sip-tester python3 doxygen
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
