#!/usr/bin/env bash
# Builds the host tool and runs `qx318 demo`: a simulated bus on a
# pseudo-terminal in the same process, driven through the real library and
# the real POSIX converter. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh linux
cmake --preset dev
cmake --build --preset dev --target qx318
build/dev/tools/qx318 demo
