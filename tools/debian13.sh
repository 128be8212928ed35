#!/usr/bin/env bash
# Runs a command in a Debian 13 (trixie) root, with this checkout at /src:
#
#   tools/debian13.sh                  the Debian 13 test pass (tools/test.sh's "suite" and "package" passes)
#   tools/debian13.sh COMMAND [ARG...]  any command, e.g. tools/debian13.sh bench/run
#
# The root is made once from the Debian archive (mmdebstrap, minbase) and kept in
# QUILLET_DEBIAN13_ROOT (default /var/cache/quillet/debian13-root), outside the checkout; later
# runs only bring its packages up to date. The build and prefix directories live inside the root
# (/var/lib/quillet), so they survive between runs and never meet the host's build/.
# Each run gets a private mount namespace: fresh /proc, /tmp, /run and /dev/shm, the host's
# /sys and /dev, and nothing it mounts outlives it. Needs root (or sudo).
set -euo pipefail

checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${QUILLET_DEBIAN13_ROOT:-/var/cache/quillet/debian13-root}
mirror=http://deb.debian.org/debian

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=QUILLET_DEBIAN13_ROOT,CI "$0" "$@"
fi
[ $# -gt 0 ] || set -- env QUILLET_PASSES="suite package" tools/test.sh

# Runs its arguments as a shell command inside the root.
inside() {
    unshare --mount --fork -- /bin/bash -euc '
        target=$1 checkout=$2
        shift 2
        mount --make-rprivate /
        mount -t proc proc "$target/proc"
        mount --rbind /sys "$target/sys"
        mount --rbind /dev "$target/dev"
        mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$target/dev/pts"
        mount --bind "$target/dev/pts/ptmx" "$target/dev/ptmx"
        mount -t tmpfs -o mode=1777 tmpfs "$target/dev/shm"
        mount -t tmpfs -o mode=1777 tmpfs "$target/tmp"
        mount -t tmpfs -o mode=755 tmpfs "$target/run"
        mkdir -p "$target/src"
        mount --bind "$checkout" "$target/src"
        touch "$target/etc/resolv.conf"
        mount --bind /etc/resolv.conf "$target/etc/resolv.conf"
        # Node in the root (npm) trusts what the host trusts, such as a proxy'"'"'s own authority.
        extra_ca=
        if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
            touch "$target/run/host-ca-certificates.crt"
            mount --bind /etc/ssl/certs/ca-certificates.crt "$target/run/host-ca-certificates.crt"
            extra_ca=/run/host-ca-certificates.crt
        fi
        exec chroot "$target" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" NODE_EXTRA_CA_CERTS="$extra_ca" \
            /bin/bash -euc "cd /src && $1"
    ' inside "$target" "$checkout" "$1"
}

if [ ! -e "$target/etc/os-release" ]; then
    if ! command -v mmdebstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
    fi
    echo "Making the Debian 13 root in $target"
    rm -rf "$target.new"
    mkdir -p "$(dirname "$target")"
    mmdebstrap --variant=minbase trixie "$target.new" "$mirror"
    mv "$target.new" "$target"
else
    echo "Updating the Debian 13 root in $target"
    inside 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get upgrade -y -qq'
fi

# The project's own set-up installs Debian 13's packages and builds, then the command runs.
command=$(printf '%q ' "$@")
inside "export QUILLET_BUILD_DIR=/var/lib/quillet/build QUILLET_PREFIX=/var/lib/quillet/prefix \
    QUILLET_BENCH_BUILD_DIR=/var/lib/quillet/build-bench; tools/setup.sh && $command"
