#!/usr/bin/env bash
# The 32-bit Windows DLL: installs the MinGW-w64 i686 cross toolchain and
# 32-bit Wine when they are missing, cross-builds the mingw-i686 preset and
# runs its suites under Wine in a throw-away 32-bit prefix.
#
# Environment: JOBS (build parallelism, default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build python3 googletest
          g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools wine wine32:i386)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

seconds_since() { echo $(( $(date +%s) - $1 )); }

install_missing_packages() {
  # wine32 is an i386 package: the architecture must be known before apt-get
  # can find it.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  scripts/ensure-packages.sh "${packages[@]}"
}

started=$(date +%s)
install_missing_packages
install_seconds=$(seconds_since "$started")

started=$(date +%s)
# One Windows test drives the DLL against qx318-sim, a Linux program: take it
# from the Linux build (built already when the Linux suites ran first).
scripts/ensure-packages.sh linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target qx318-sim --parallel "${JOBS:-$(nproc)}"
sim_seconds=$(seconds_since "$started")

started=$(date +%s)
cmake --preset mingw-i686 -DQX318_SIM_EXECUTABLE="$PWD/build/dev/tools/qx318-sim"
cmake --build --preset mingw-i686 --parallel "${JOBS:-$(nproc)}"
build_seconds=$(seconds_since "$started")

# A fresh 32-bit prefix for every run; the tests link their COM ports into
# its dosdevices/.
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/qx318-wine.XXXXXX")"
export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko installers in a prefix that only runs console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap stop_wine EXIT

# Wine runs the 32-bit tests through 32-bit Linux programs of its own; a
# kernel built without 32-bit support refuses to start them ("Exec format
# error", status 126). Such a machine still builds the DLL and checks its
# exports and imports, and says loudly what it could not run.
can_run_32bit_programs() {
  local probe
  probe="$(dirname "$(readlink -f "$(command -v wineserver)")")/wineserver32"
  [ -x "$probe" ] || return 0
  local rc=0
  "$probe" --version >/dev/null 2>&1 || rc=$?
  [ "$rc" -ne 126 ]
}
if ! can_run_32bit_programs; then
  echo "windows: THIS KERNEL CANNOT RUN 32-BIT PROGRAMS, so Wine cannot start:" \
       "only the DLL's binary checks run here; the suites under Wine were NOT run" >&2
  status=0
  ctest --preset mingw-i686 -R '^windows\.dll_binary$' || status=$?
  echo "windows: install ${install_seconds}s, qx318-sim ${sim_seconds}s, build ${build_seconds}s," \
       "Wine not available"
  exit "$status"
fi

started=$(date +%s)
# A persistent server with its output detached: otherwise every test waits
# for Wine's services, which hold the test's output pipe open.
wineserver -p </dev/null >/dev/null 2>&1
wineboot --init </dev/null >/dev/null 2>&1
wineboot_seconds=$(seconds_since "$started")

started=$(date +%s)
status=0
ctest --preset mingw-i686 || status=$?
test_seconds=$(seconds_since "$started")

echo "windows: install ${install_seconds}s, qx318-sim ${sim_seconds}s, build ${build_seconds}s," \
     "Wine prefix ${wineboot_seconds}s, tests ${test_seconds}s"
exit "$status"
