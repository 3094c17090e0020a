#!/usr/bin/env bash
# Runs the program over the simulated bus (build/demo holds it beside the simulated driver).
set -euo pipefail
build=${1:-build}
demo="$build/demo"
if [ -x "$demo/kalvo" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] ||
                             [ -n "${QT_QPA_PLATFORM:-}" ]; }; then
  exec "$demo/kalvo"
fi
echo "No display: showing the simulated bus from the command line instead." >&2
echo "On a desktop, run $demo/kalvo (or: QT_QPA_PLATFORM=offscreen $demo/kalvo-screenshots DIR)." >&2
"$demo/kalvo-bus" scan
"$demo/kalvo-bus" read 2
