#!/bin/sh
# Runs a test that starts trays, listens on the tray's ports or starts a compositor where it
# cannot meet another such test run at the same time (ctest -j): as root in a network namespace
# of its own, where the ports are free whatever else runs; elsewhere one such test at a time.
if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec flock "${TMPDIR:-/tmp}/quillet-tray-tests.lock" "$@"
