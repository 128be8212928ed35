#!/usr/bin/env bash
# Makes the Debian package as the README says (tools/package.sh, with a production-style update
# key made for this build directory; lintian must find nothing), installs it into this system,
# serves a page through the installed tray, purges the package and checks that nothing of it is
# left. It changes the system: run it as root on a machine made for tests (CI, a Debian root).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "tests/package/run.sh installs and purges a package: run it as root on a test machine." >&2
    exit 1
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# Beside the normal build directory, so that a Debian root with its own build directories has its own.
build=${QUILLET_PACKAGE_BUILD_DIR:-${QUILLET_BUILD_DIR:-$root/build}-package}
app=/opt/kestrum/quillet
work=$(mktemp -d)
purge() { apt-get purge -y -qq kestrum-quillet-tray >/dev/null; }
trap 'rm -rf "$work" "$app/bin/Quillet.sh"; ! dpkg -s kestrum-quillet-tray >/dev/null 2>&1 || purge' EXIT

mkdir -p "$build" "$work/home"
if [ ! -f "$build/update-public.pem" ]; then
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 2>/dev/null | openssl pkey -pubout -out "$build/update-public.pem"
fi
deb=$("$root/tools/package.sh" "$build/update-public.pem" "$build")

# dpkg removes an empty /etc/opt that no package owns along with this one; the test puts it back.
etc_opt=$(ls -d /etc/opt 2>/dev/null || true)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
cmp "$root/etc/Quillet.conf" "$app/etc/Quillet.conf"
# The signer packages bring the start scripts; the demo signer stands in for them.
printf '#!%s\n' "$build/bin/QuilletDemoSigner" >"$app/bin/Quillet.sh"
chmod 755 "$app/bin/Quillet.sh"
node_flags=$(node --experimental-websocket -e '' 2>/dev/null && echo --experimental-websocket || true)
# The installed tray with a home of its own in a network of its own, and a page through the
# project's page library; SIGTERM must end the tray cleanly.
HOME=$work/home XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=offscreen unshare --net -- bash -ec "
    ip link set lo up
    $app/bin/QuilletTray & tray=\$!
    trap 'kill \$tray 2>/dev/null || true' EXIT
    node $node_flags '$root/tests/package/page.mjs'
    kill -TERM \$tray
    wait \$tray"

rm "$app/bin/Quillet.sh"
purge
left=$(find /usr/share -name "eu.kestrum.Quillet*" 2>/dev/null || true)
if [ -n "$left" ] || [ -e /opt/kestrum ] || [ -e /etc/opt/kestrum ] || dpkg -s kestrum-quillet-tray >/dev/null 2>&1; then
    echo "Left behind after purge: ${left:-/opt/kestrum, /etc/opt/kestrum or the package in dpkg}" >&2
    exit 1
fi
[ -z "$etc_opt" ] || mkdir -p "$etc_opt"
echo "Installed, served a page and purged without a trace."
