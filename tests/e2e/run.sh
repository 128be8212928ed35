#!/usr/bin/env bash
# Runs the browser tests against the installed tray (QUILLET_PREFIX, default ./prefix).
# As root, they run in a network and IPC namespace of their own, where the tray's ports are
# free whatever else runs on the machine; elsewhere, tests whose ports are taken skip.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ "${QUILLET_E2E_ISOLATED:-}" != 1 ]; then
    (cd "$here" && npm ci --no-audit --no-fund --prefer-offline --loglevel=error)
    if [ "$(id -u)" -eq 0 ] && unshare --net --ipc true 2>/dev/null; then
        exec env QUILLET_E2E_ISOLATED=1 unshare --net --ipc -- "$0" "$@"
    fi
else
    ip link set lo up
fi

cd "$here"
exec node --test --test-concurrency=1 "$@" ./*.test.mjs
