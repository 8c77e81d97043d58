#!/usr/bin/env bash
# Builds the Debian package from a configured build directory (default build/default)
# and checks it without installing it: its contents and fields with dpkg-deb, the
# programs and man pages it carries, and its systemd unit with systemd-analyze verify.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}

fail() { echo "check_package: $*" >&2; exit 1; }

cmake --build "$build" --target package >/dev/null
deb=$(ls -t "$build"/kelmar-network_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no package was written in $build"
echo "package: $deb"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/kelmar-host ./usr/bin/kelmar-peer \
  ./usr/lib/systemd/system/kelmar-node@.service \
  ./usr/share/man/man1/kelmar-host.1.gz ./usr/share/man/man1/kelmar-peer.1.gz \
  ./usr/share/doc/kelmar-network/examples/node.conf; do
  grep -qxF "$f" <<<"$contents" || fail "$f is missing from the package"
done
[ "$(dpkg-deb -f "$deb" Package)" = kelmar-network ] || fail "wrong package name"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "Depends does not name the C library"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/kelmar-peer" --version | grep -q '^kelmar-peer ' || fail "kelmar-peer --version"
"$root/usr/bin/kelmar-host" --version | grep -q '^kelmar-host ' || fail "kelmar-host --version"
for p in kelmar-host kelmar-peer; do
  zcat "$root/usr/share/man/man1/$p.1.gz" | grep -q '^\.SH DESCRIPTION' || fail "$p.1 has no DESCRIPTION"
  zcat "$root/usr/share/man/man1/$p.1.gz" | grep -q -- 'log\\-level' || fail "$p.1 lacks the options"
done

# The unit as packaged, pointed at the packaged program (it is not installed here);
# any complaint from systemd, even one it only warns about, fails the check.
unit="$root/kelmar-node@check.service"
sed "s#/usr/bin/kelmar-peer#$root/usr/bin/kelmar-peer#" \
  "$root/usr/lib/systemd/system/kelmar-node@.service" >"$unit"
out=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
grep -q '^KELMAR_ARGS=' "$root/usr/share/doc/kelmar-network/examples/node.conf" ||
  fail "the example environment file sets no KELMAR_ARGS"
echo "package, man pages and unit: ok"
