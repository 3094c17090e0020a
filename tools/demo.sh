#!/usr/bin/env bash
# Runs the demo program over the simulated bus.
set -euo pipefail
build=${1:-build}
demo="$build/demo"
if [ -x "$demo/kalvo" ]; then
  exec "$demo/kalvo"
fi
"$demo/kalvo-bus" scan
"$demo/kalvo-bus" read 2
