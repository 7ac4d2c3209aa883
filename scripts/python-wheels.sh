#!/usr/bin/env bash
# The qx318 Python package's wheels, built with pip from python/ without a
# package index: the pure wheel (no library inside) and, for each Windows DLL
# given, the wheel of that DLL's architecture with the DLL beside the package
# (py3-none-win32 for the x86 DLL, py3-none-win_amd64 for the x64 one).
#
# Usage: python-wheels.sh OUTPUT_FOLDER [WINDOWS_DLL...]
# Prints the path of each wheel it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
  echo "usage: $0 OUTPUT_FOLDER [WINDOWS_DLL...]" >&2
  exit 2
fi
out="$1"
shift
mkdir -p "$out"

build_wheel() {
  PIP_DISABLE_PIP_VERSION_CHECK=1 python3 -m pip wheel --quiet --no-deps --no-index \
    --no-build-isolation --wheel-dir "$out" "$@" ./python
}

build_wheel
for dll in "$@"; do
  build_wheel --config-settings "windows-dll=$(readlink -f "$dll")"
done
ls -1 "$out"/qx318-*.whl
