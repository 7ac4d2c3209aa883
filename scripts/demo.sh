#!/usr/bin/env bash
# Builds the host tool and the simulator, then runs `qx318 demo`: a
# simulated bus on a pseudo-terminal in the same process, driven through the
# real library and the real POSIX converter. The demo's picture
# (qx318-demo.png) lands in the folder this script was run from, and
# build/dev/tools/qx318-sim is ready for the README's next steps. Installs
# what is missing first.
set -euo pipefail
caller_dir=$PWD
cd "$(dirname "$0")/.."
source_dir=$PWD

scripts/ensure-packages.sh linux
cmake --preset dev
cmake --build --preset dev --target qx318 qx318-sim
cd "$caller_dir"
"$source_dir/build/dev/tools/qx318" demo
