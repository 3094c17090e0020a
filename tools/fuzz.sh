#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build (make fuzz) for SECONDS each. A target built from
# fuzz/<area>/ starts from the fixtures in tests/data/<area>/, copied into its corpus folder in
# the build tree, which keeps growing from run to run; tests/data itself is only read.
# Usage: tools/fuzz.sh [BUILD_DIR=build-fuzz] [SECONDS=10]
set -euo pipefail
build=$(cd "${1:-build-fuzz}" && pwd)
seconds=${2:-10}
cd "$(dirname "$0")/.."

targets=()
for target in "$build"/fuzz/*/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] && targets+=("$target")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets in $build/fuzz (run make fuzz first)" >&2
  exit 1
fi

for target in "${targets[@]}"; do
  name=$(basename "$target")
  area=$(basename "$(dirname "$target")")
  corpus="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  for seed in tests/data/"$area"/*; do
    case "$seed" in *.py) continue ;; esac  # the fixtures' generators are not inputs
    if [ -f "$seed" ]; then cp -f "$seed" "$corpus/seed-$(basename "$seed")"; fi
  done
  echo "== $name: $seconds s from $(ls "$corpus" | wc -l) inputs ($corpus)"
  log="$artifacts/last-run.log"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
    cat "$log" >&2
    echo "fuzz.sh: $name failed; the input is in $artifacts" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log" || tail -n 2 "$log"
done
