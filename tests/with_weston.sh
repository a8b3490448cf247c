#!/usr/bin/env bash
# Runs a command as a Wayland client of a headless Weston of its own:
#   tests/with_weston.sh COMMAND...
set -euo pipefail
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime
weston --backend=headless-backend.so --use-pixman --socket=wayland-vantrel --width=1280 --height=1024 \
    --idle-time=0 >"$runtime/weston.log" 2>&1 &
weston=$!
trap 'kill $weston 2>/dev/null; wait $weston 2>/dev/null; rm -rf "$runtime"' EXIT
for _ in $(seq 50); do
    [ -S "$runtime/wayland-vantrel" ] && break
    sleep 0.1
done
[ -S "$runtime/wayland-vantrel" ] || { cat "$runtime/weston.log"; exit 1; }
WAYLAND_DISPLAY=wayland-vantrel GDK_BACKEND=wayland NO_AT_BRIDGE=1 "$@"
