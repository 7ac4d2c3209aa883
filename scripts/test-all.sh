#!/usr/bin/env bash
# Builds everything and runs every suite: the Linux build, the Debian
# packages (built, checked, installed, used, purged), an optimised release
# build, the tools linked statically without the plot, the same suites
# under AddressSanitizer + UndefinedBehaviorSanitizer, the threads suite under
# ThreadSanitizer, a short libFuzzer run of each fuzz target, and both
# Windows DLLs with their suites under Wine and the Windows download.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh linux

run_suites() {
  local preset=$1
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  # The fault soak ran among the suites; its figures, from CTest's log.
  grep -h "^fault soak:" "build/$preset/Testing/Temporary/LastTest.log" || true
}

run_suites dev

# The Debian packages built, checked by lintian, installed, used and purged.
echo "== debian packages =="
scripts/debian-packages.sh
tests/packages/check-debian-packages.sh

# The optimised build of everything, warnings as errors: GCC warns about
# other things at -O3 than at the presets' -O2. Its suites are not run
# again: they are the dev stage's.
echo "== release =="
cmake --preset release
cmake --build --preset release

# The tools without cairo, linked statically, run.
echo "== static tools =="
tests/packages/check-static-tools.sh

run_suites asan

echo "== tsan =="
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

echo "== fuzz =="
scripts/fuzz-smoke.sh 30

echo "== windows =="
bash .ci/windows.sh
