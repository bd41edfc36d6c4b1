#!/usr/bin/env bash
# Builds Tavrix and starts it: the desktop program when a display is there, else headless.
# Extra arguments go to the program (see tavrix --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

if [ ! -x build/src/shell/tavrix ]; then
    echo "Built the core library (build/src/libtavrix_core.a); the program is not there yet."
    exit 0
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Starting the desktop program."
    exec build/src/shell/tavrix "$@"
fi
echo "No display found: starting headless (Ctrl-C stops it)."
exec build/src/shell/tavrix --headless "$@"
