#!/usr/bin/env bash
# Installs what is missing, builds Vantrel (the program alone, no tests)
# and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source ./setup.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "vantrel: no display to show the window on (DISPLAY is not set); run it from a desktop session." >&2
    exit 1
fi
install_missing
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF --target vantrel
exec ./build/vantrel
