#!/usr/bin/env bash
# Installs the Debian packages the build, tests, benchmarks and fuzzers need, or the
# packages named as arguments. Idempotent: does nothing when all are installed.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  tshark
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev clang-format
  nlohmann-json3-dev libcpp-httplib-dev
  iproute2 nftables iptables libnetfilter-queue-dev python3
  help2man dpkg-dev
  ola libola-dev util-linux
)

[ $# -gt 0 ] && packages=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture; answer no beforehand.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
