#!/usr/bin/env bash
# Sets everything up and runs every test: the full suite on the normal build, the page library's
# tests, the Debian package's test (as root), then the unit and integration tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target for a short while.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLET_BUILD_DIR:-$root/build}
asan_build=${QUILLET_ASAN_BUILD_DIR:-$root/build-asan}
prefix=${QUILLET_PREFIX:-$root/prefix}
"$root/tools/setup.sh"

status=0
ctest --test-dir "$build" --output-on-failure --timeout 600 || status=1

# The web page client library, with Node's own test runner. Node's built-in WebSocket client is
# tested too where this Node has it (behind a flag on Node 20, always on later).
node_flags=()
if node --experimental-websocket -e '' 2>/dev/null; then
    node_flags+=(--experimental-websocket)
fi
node "${node_flags[@]}" --test "$root"/web/test/*.test.mjs || status=1

# The Debian package: made as the README says, lintian-clean, installed into this system, serving
# a page, then purged without a trace. It changes the system, so it runs only as root (CI, the
# Debian 13 root).
if [ "$(id -u)" -eq 0 ]; then
    "$root/tests/package/run.sh" || status=1
else
    echo "Skipped the package test (tests/package/run.sh): it installs a package and needs root."
fi

cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON \
    -DQUILLET_ALLOW_DEV_UPDATE_KEY=ON >/dev/null
cmake --build "$asan_build"
# The unit and integration tests, with the programs that they start; leaks that system
# libraries keep on purpose are listed in tools/lsan.supp.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0 \
    ctest --test-dir "$asan_build" --output-on-failure -L 'unit|integration' --timeout 600 || status=1

# Every fuzz target for a short while; tools/fuzz.sh runs them as long as you like.
"$root/tools/fuzz.sh" "${QUILLET_FUZZ_SECONDS:-20}" || status=1

# The whole chain in Debian's Chromium, against the tray installed into the prefix.
QUILLET_PREFIX="$prefix" QUILLET_BUILD_DIR="$build" "$root/tests/e2e/run.sh" || status=1

exit $status
