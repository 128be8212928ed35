#!/usr/bin/env bash
# Sets everything up and runs every test, in passes:
#   suite     the CTest suite, the web page library's tests and the browser test on this machine
#   package   the Debian package made, installed into this system, serving a page and purged (root)
#   sanitize  the unit and integration tests again under AddressSanitizer and UBSan
#   fuzz      each fuzz target for a short while
#   debian13  the suite pass again in a Debian 13 root (tools/debian13.sh), from Debian 12
# QUILLET_PASSES picks some of them, e.g. QUILLET_PASSES="suite fuzz"; the default is all.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLET_BUILD_DIR:-$root/build}
asan_build=${QUILLET_ASAN_BUILD_DIR:-$root/build-asan}
prefix=${QUILLET_PREFIX:-$root/prefix}
passes=" ${QUILLET_PASSES:-suite package sanitize fuzz debian13} "
release=$(. /etc/os-release && echo "${VERSION_ID:-}")

wanted() { [[ $passes == *" $1 "* ]]; }

status=0
# Runs one pass and says how long it took and whether it failed.
run_pass() {
    local name=$1 start=$SECONDS
    shift
    echo "=== $name pass on Debian $release"
    if "$@"; then
        echo "=== $name pass: passed in $((SECONDS - start)) s"
    else
        echo "=== $name pass: FAILED after $((SECONDS - start)) s"
        status=1
    fi
}

# As root, the page library's tests, whose small trays take the tray's ports, run in a network
# namespace of their own, where those ports are free whatever else runs on the machine. The CTest
# programs that need it isolate themselves (tests/isolated.sh), so that CTest may run two at once.
isolated() {
    if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
        unshare --net -- sh -c 'ip link set lo up && exec "$@"' isolated "$@"
    else
        "$@"
    fi
}

suite_pass() {
    local result=0
    ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 || result=1

    # The web page client library, with Node's own test runner. Node's built-in WebSocket client
    # is tested too where this Node has it (behind a flag on Node 20, always on later).
    local node_flags=()
    if node --experimental-websocket -e '' 2>/dev/null; then
        node_flags+=(--experimental-websocket)
    fi
    isolated node "${node_flags[@]}" --test "$root"/web/test/*.test.mjs || result=1

    # The whole chain in Debian's Chromium, against the tray installed into the prefix.
    QUILLET_PREFIX="$prefix" QUILLET_BUILD_DIR="$build" "$root/tests/e2e/run.sh" || result=1
    return $result
}

sanitize_pass() {
    # (A function run as a condition does not stop at a failing command: each step must pass.)
    cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON \
        -DQUILLET_ALLOW_DEV_UPDATE_KEY=ON >/dev/null &&
        cmake --build "$asan_build" &&
        # The unit and integration tests, with the programs that they start; leaks that system
        # libraries keep on purpose are listed in tools/lsan.supp.
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0 \
            ctest --test-dir "$asan_build" --output-on-failure -L 'unit|integration' --timeout 600 -j2
}

if wanted suite || wanted package || wanted sanitize || wanted fuzz; then
    "$root/tools/setup.sh"
fi
if wanted suite; then
    run_pass suite suite_pass
fi
# It changes the system, so it runs only as root (CI, the Debian 13 root).
if wanted package; then
    if [ "$(id -u)" -eq 0 ]; then
        run_pass package "$root/tests/package/run.sh"
    else
        echo "Skipped the package pass (tests/package/run.sh): it installs a package and needs root."
    fi
fi
if wanted sanitize; then
    run_pass sanitize sanitize_pass
fi
if wanted fuzz; then
    # Every fuzz target for a short while; tools/fuzz.sh runs them as long as you like.
    run_pass fuzz "$root/tools/fuzz.sh" "${QUILLET_FUZZ_SECONDS:-20}"
fi
# On Debian 13 itself the suite pass above was that release's.
if wanted debian13 && [ "$release" != 13 ]; then
    run_pass debian13 "$root/tools/debian13.sh"
fi

exit $status
