#!/usr/bin/env bash
# Builds everything and runs every suite: the Linux build, the same suites
# under AddressSanitizer + UndefinedBehaviorSanitizer, the threads suite under
# ThreadSanitizer, a short libFuzzer run of each fuzz target, and both
# Windows DLLs with their suites under Wine and the Windows download.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh linux

for preset in dev asan; do
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  # The fault soak ran among the suites; its figures, from CTest's log.
  grep -h "^fault soak:" "build/$preset/Testing/Temporary/LastTest.log" || true
done

echo "== tsan =="
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

echo "== fuzz =="
scripts/fuzz-smoke.sh 30

echo "== windows =="
bash .ci/windows.sh
