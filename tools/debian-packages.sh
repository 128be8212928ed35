#!/usr/bin/env bash
# Prints the Debian packages that this machine's release needs, one a line, from
# tools/debian-packages.txt: the common names and those marked with this release's number.
set -euo pipefail

list=$(dirname "${BASH_SOURCE[0]}")/debian-packages.txt
release=$(. /etc/os-release && echo "${VERSION_ID:-}:${VERSION_CODENAME:-}")
case $release in
    12:* | *:bookworm) release=12 ;;
    13:* | *:trixie) release=13 ;;
    *)
        echo "This is not Debian 12 or 13 (/etc/os-release: $release); $list names the packages of those." >&2
        exit 1
        ;;
esac
awk -v release="$release" '
    /^[[:space:]]*(#|$)/ { next }
    /^[0-9]+:/ { if ($1 == release ":") print $2; next }
    { print $1 }
' "$list"
