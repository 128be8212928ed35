#!/usr/bin/env bash
# Installs what is missing, builds and installs Quillet Tray into a local prefix.
# Safe to run again: it installs and rebuilds only what has changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLET_BUILD_DIR:-$root/build}
prefix=${QUILLET_PREFIX:-$root/prefix}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

# The package list of this Debian release (12 or 13).
mapfile -t wanted < <("$root/tools/debian-packages.sh")
[ ${#wanted[@]} -gt 0 ] || exit 1
missing=()
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQUILLET_ALLOW_DEV_UPDATE_KEY=ON >/dev/null
cmake --build "$build"
cmake --install "$build" >/dev/null
echo "Installed into $prefix"
