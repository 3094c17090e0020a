#!/usr/bin/env bash
# Runs the program over the simulated bus: BUILD/demo holds it beside the simulated driver
# (make demo passes the optimised build). Closing the window, or SIGTERM, ends it with code 0.
set -euo pipefail
build=${1:-build-release}
demo="$build/demo"
if [ ! -x "$demo/kalvo-bus" ]; then
  echo "demo.sh: $demo holds no build (run make demo)" >&2
  exit 1
fi
if [ -x "$demo/kalvo" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] ||
                             [ -n "${QT_QPA_PLATFORM:-}" ]; }; then
  exec "$demo/kalvo"
fi
echo "No display: showing the simulated bus from the command line instead." >&2
echo "On a desktop, run $demo/kalvo (or: QT_QPA_PLATFORM=offscreen $demo/kalvo-screenshots DIR)." >&2
"$demo/kalvo-bus" scan
"$demo/kalvo-bus" read 2
