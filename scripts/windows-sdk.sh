#!/usr/bin/env bash
# The Windows download: builds both DLLs (x86 and x64) with their import
# libraries, the Python wheels, and packs them with the headers, the examples,
# a README and the licence into
#   build/windows-sdk/QX318_RS485-<version>-windows.zip
# Installs what is missing first. Reuses the mingw-i686 and mingw-x86_64 build
# folders when they exist (the Windows CI stage makes them), else configures
# them.
#
# Environment: JOBS (build parallelism, default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build python3 mingw-w64-tools
          g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          clang lld llvm)
scripts/ensure-packages.sh "${packages[@]}"
jobs="${JOBS:-$(nproc)}"

# The DLL's own target also makes both import libraries and the split debug
# information.
build_dll() {
  local preset="$1"
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target QX318_RS485 --parallel "$jobs" >/dev/null
}

project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw-i686/CMakeCache.txt
}

# One architecture's folder: the DLL, what links against it, the export list
# its import libraries were made from, and its debug information.
stage_architecture() {
  local preset="$1" folder="$2"
  local built="build/$preset/src"
  mkdir -p "$folder"
  cp "$built/QX318_RS485.dll" "$built/QX318_RS485.dll.debug" "$built/QX318_RS485.lib" \
     "$built/QX318_RS485.dll.a" "$folder/"
  cp "$built/QX318_RS485.stdcall.def" "$folder/QX318_RS485.def"
}

build_dll mingw-i686
build_dll mingw-x86_64
version="$(project_version)"
name="QX318_RS485-${version}-windows"
out="build/windows-sdk"
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"

stage_architecture mingw-i686 "$stage/x86"
stage_architecture mingw-x86_64 "$stage/x64"
mkdir -p "$stage/include" "$stage/python"
cp include/QX318_RS485.h include/qx318.hpp "$stage/include/"
cp -r examples "$stage/examples"
scripts/python-wheels.sh "$stage/python" \
  "build/mingw-i686/src/QX318_RS485.dll" "build/mingw-x86_64/src/QX318_RS485.dll" >/dev/null
rm -f "$stage"/python/*-none-any.whl   # the pure wheel carries no DLL: not for this download
python_version="$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/qx318/__init__.py)"
sed -e "s/@VERSION@/$version/g" -e "s/@PYTHON_VERSION@/$python_version/g" \
  packaging/windows-sdk/README.txt | sed 's/$/\r/' >"$stage/README.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"

python3 scripts/pack-zip.py "$stage" "$out/$name.zip"
echo "$out/$name.zip"
