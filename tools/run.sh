#!/usr/bin/env bash
# Sets everything up and starts the tray. Without a display it starts one (Xvfb)
# with a system-tray host, so the icon really sits in a tray.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=${QUILLET_PREFIX:-$root/prefix}
"$root/tools/setup.sh"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    display_number=42
    while [ -e "/tmp/.X11-unix/X$display_number" ] || [ -e "/tmp/.X$display_number-lock" ]; do
        display_number=$((display_number + 1))
    done
    export DISPLAY=":$display_number"
    Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 1 50); do
        xdpyinfo >/dev/null 2>&1 && break
        sleep 0.1
    done
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true >/dev/null 2>&1 &
    pids+=($!)
    echo "No display found: started Xvfb on $DISPLAY with a tray host."
    echo "See the tray with: DISPLAY=$DISPLAY import -window root tray.png (or xwd -root)."
fi

# The demo page, served from loopback; the server prints the page's address once it listens.
demo_out=$(mktemp)
node "$root/web/serve.mjs" >"$demo_out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do
    grep -q '^Demo page: ' "$demo_out" && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
done
cat "$demo_out"
rm -f "$demo_out"

echo "Starting $prefix/bin/QuilletTray (stop it with Ctrl+C)."
"$prefix/bin/QuilletTray" "$@"
