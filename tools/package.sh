#!/usr/bin/env bash
# Makes the Debian package for the release this machine runs: a Release build that carries the
# given production update key, packed by cpack and checked by lintian (no errors, no warnings).
#   tools/package.sh /secure/quillet-update-public.pem [build directory, default ./build-release]
# Prints the package's path last.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
key=$(realpath "${1:?the production update public key (PEM) is needed}")
build=$(realpath -m "${2:-$root/build-release}")

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=OFF \
    -DQUILLET_UPDATE_PUBLIC_KEY="$key" >/dev/null
cmake --build "$build" >&2
rm -f "$build"/kestrum-quillet-tray_*.deb
(cd "$build" && cpack >&2)
deb=$(echo "$build"/kestrum-quillet-tray_*.deb)
dpkg-deb -f "$deb" Version Depends >&2
lintian --fail-on error,warning "$deb" >&2
echo "$deb"
