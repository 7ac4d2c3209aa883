#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang and runs each for a short while on
# its seed corpus (new inputs go to a temporary folder, not into the repo).
# Usage: fuzz-smoke.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

scripts/ensure-packages.sh linux clang libclang-rt-14-dev

cmake --preset fuzz
cmake --build --preset fuzz --target qx318_fuzz_answer qx318_fuzz_image

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for target in answer image; do
  mkdir -p "$work/$target"
  echo "fuzzing $target for ${seconds}s"
  build/fuzz/fuzz/qx318_fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$target" "fuzz/corpus/$target" 2>"$work/$target.log" || {
      tail -50 "$work/$target.log"
      echo "fuzzing $target found a failure" >&2
      exit 1
    }
  grep -E "stat::number_of_executed_units|stat::peak_rss" "$work/$target.log" || true
done
