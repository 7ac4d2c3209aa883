#!/usr/bin/env bash
# Builds everything and runs every suite: the Linux build, the same suites
# under AddressSanitizer + UndefinedBehaviorSanitizer, a short libFuzzer run
# of each fuzz target, and the 32-bit Windows DLL with its suites under Wine.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh linux

for preset in dev asan; do
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== fuzz =="
scripts/fuzz-smoke.sh 30

echo "== windows =="
bash .ci/windows.sh
