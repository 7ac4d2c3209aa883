#!/usr/bin/env bash
# The Windows DLLs: installs the MinGW-w64 cross toolchains, LLVM's tools
# and Wine when they are missing, cross-builds the x86 DLL (mingw-i686
# preset) and the x64 DLL (mingw-x86_64), runs each one's suites under Wine in
# a throw-away prefix, then builds the Windows download and checks it.
#
# The x86 suites need 32-bit Wine, which needs a kernel that runs 32-bit
# programs. Where this kernel cannot, they run in a QEMU guest whose kernel
# can (scripts/in-32bit-guest.sh), so that the DLL that ships is the DLL
# tested on every machine. The last lines say where each DLL's suites ran.
#
# Environment: JOBS (build parallelism, default: all cores); X86_SUITES_IN
# (guest: run the x86 suites in the QEMU guest even where this kernel could
# run them; default: the guest only where it cannot).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build python3 googletest mingw-w64-tools
          g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          clang lld llvm wine wine32:i386 wine64)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
jobs="${JOBS:-$(nproc)}"
export JOBS="$jobs"

seconds_since() { echo $(( $(date +%s) - $1 )); }

install_missing_packages() {
  # wine32 is an i386 package: the architecture must be known before apt-get
  # can find it.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  scripts/ensure-packages.sh "${packages[@]}"
}

# Wine runs the 32-bit tests through 32-bit Linux programs of its own; a
# kernel built without 32-bit support refuses to start them ("Exec format
# error", status 126).
can_run_32bit_programs() {
  local probe
  probe="$(dirname "$(readlink -f "$(command -v wineserver)")")/wineserver32"
  [ -x "$probe" ] || return 0
  local rc=0
  "$probe" --version >/dev/null 2>&1 || rc=$?
  [ "$rc" -ne 126 ]
}

verdict() { if [ "$1" -eq 0 ]; then echo passed; else echo "FAILED (status $1)"; fi; }

started=$(date +%s)
install_missing_packages
install_seconds=$(seconds_since "$started")

started=$(date +%s)
# The end-to-end Windows tests drive the DLLs against qx318-sim, a Linux
# program: take it from the Linux build (built already when the Linux suites
# ran first).
scripts/ensure-packages.sh linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target qx318-sim --parallel "$jobs"
sim="$PWD/build/dev/tools/qx318-sim"
sim_seconds=$(seconds_since "$started")

started=$(date +%s)
for preset in mingw-i686 mingw-x86_64; do
  cmake --preset "$preset" -DQX318_SIM_EXECUTABLE="$sim"
  cmake --build --preset "$preset" --parallel "$jobs"
done
build_seconds=$(seconds_since "$started")

started=$(date +%s)
x86_status=0
if [ "${X86_SUITES_IN:-}" != guest ] && can_run_32bit_programs; then
  x86_where="under 32-bit Wine on this kernel"
  .ci/windows-suites.sh win32 mingw-i686 || x86_status=$?
else
  x86_where="under 32-bit Wine in a QEMU guest whose kernel runs 32-bit programs"
  scripts/in-32bit-guest.sh .ci/windows-suites.sh win32 mingw-i686 || x86_status=$?
fi
x86_seconds=$(seconds_since "$started")

started=$(date +%s)
x64_status=0
.ci/windows-suites.sh win64 mingw-x86_64 || x64_status=$?
x64_seconds=$(seconds_since "$started")

started=$(date +%s)
download_status=0
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw-i686/CMakeCache.txt)"
python_version="$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/qx318/__init__.py)"
{ scripts/windows-sdk.sh &&
  python3 tests/windows/check_sdk_zip.py "build/windows-sdk/QX318_RS485-$version-windows.zip" \
    . "$version" "$python_version"; } || download_status=$?
download_seconds=$(seconds_since "$started")

echo "windows: install ${install_seconds}s, qx318-sim ${sim_seconds}s, both DLLs built" \
     "${build_seconds}s, x86 suites ${x86_seconds}s, x64 suites ${x64_seconds}s," \
     "download ${download_seconds}s"
echo "windows: x86 DLL (the shipped 32-bit DLL, mingw-i686): suites ran $x86_where: $(verdict $x86_status)"
echo "windows: x64 DLL (the shipped 64-bit DLL, mingw-x86_64): suites ran under 64-bit Wine: $(verdict $x64_status)"
echo "windows: download QX318_RS485-$version-windows.zip built and checked: $(verdict $download_status)"
[ "$x86_status" -eq 0 ] && [ "$x64_status" -eq 0 ] && [ "$download_status" -eq 0 ]
