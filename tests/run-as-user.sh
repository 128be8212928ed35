#!/bin/sh
# Runs a command as an ordinary user (nobody) when started as root, otherwise as it is:
# programs such as sway refuse to run as root.
if [ "$(id -u)" = 0 ]; then
    exec setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp "$@"
fi
exec "$@"
