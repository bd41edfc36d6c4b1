#!/usr/bin/env bash
# Builds Tavrix and starts it: the desktop program when a display is there, else headless.
# Extra arguments go to the program (see tavrix --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Starting the desktop program."
    exec build/src/tavrix "$@"
fi
echo "No display found: starting headless (Ctrl-C stops it)."
exec build/src/tavrix --headless "$@"
