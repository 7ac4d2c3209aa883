#!/usr/bin/env bash
# The 32-bit Windows DLL: installs the MinGW-w64 i686 cross toolchain and
# 32-bit Wine when they are missing, cross-builds the mingw-i686 preset and
# runs its suites under Wine in a throw-away 32-bit prefix.
#
# On a kernel that cannot run 32-bit programs (so 32-bit Wine cannot start)
# the 32-bit DLL is still built and gets its binary check; then the same
# sources and suites are built for 64-bit Windows (the mingw-x86_64 preset, a
# test vehicle that is never shipped) and run under 64-bit Wine in a
# throw-away 64-bit prefix. The last lines say which build the suites ran on.
#
# Environment: JOBS (build parallelism, default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build python3 googletest
          g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-tools wine wine32:i386
          clang lld llvm)
# Only where 32-bit Wine cannot run.
packages_64bit=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
jobs="${JOBS:-$(nproc)}"

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

# Debian's "wine" starts the 32-bit loader whenever wine32 is installed; the
# 64-bit prefix needs the 64-bit one by name.
wine64_loader() {
  command -v wine64 2>/dev/null || echo /usr/lib/wine/wine64
}

# A fresh prefix of the given architecture (win32 or win64) for every run;
# the tests link their COM ports into its dosdevices/. The wine command
# starts the programs. A persistent server with its output detached: otherwise
# every test waits for Wine's services, which hold the test's output pipe open.
start_wine_prefix() {
  local arch="$1" wine="$2"
  WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/qx318-wine.XXXXXX")"
  export WINEPREFIX WINEARCH="$arch" WINEDEBUG=-all
  # No Mono or Gecko installers in a prefix that only runs console programs.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap stop_wine EXIT
  wineserver -p </dev/null >/dev/null 2>&1
  "$wine" wineboot --init </dev/null >/dev/null 2>&1
}
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}

started=$(date +%s)
install_missing_packages
install_seconds=$(seconds_since "$started")

started=$(date +%s)
# The end-to-end Windows tests drive the DLL against qx318-sim, a Linux
# program: take it from the Linux build (built already when the Linux suites
# ran first).
scripts/ensure-packages.sh linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target qx318-sim --parallel "$jobs"
sim="$PWD/build/dev/tools/qx318-sim"
sim_seconds=$(seconds_since "$started")

started=$(date +%s)
cmake --preset mingw-i686 -DQX318_SIM_EXECUTABLE="$sim"
cmake --build --preset mingw-i686 --parallel "$jobs"
build_seconds=$(seconds_since "$started")

if can_run_32bit_programs; then
  started=$(date +%s)
  start_wine_prefix win32 wine
  wineboot_seconds=$(seconds_since "$started")

  started=$(date +%s)
  status=0
  ctest --preset mingw-i686 || status=$?
  test_seconds=$(seconds_since "$started")

  echo "windows: install ${install_seconds}s, qx318-sim ${sim_seconds}s, build ${build_seconds}s," \
       "Wine prefix ${wineboot_seconds}s, tests ${test_seconds}s"
  exit "$status"
fi

echo "windows: THIS KERNEL CANNOT RUN 32-BIT PROGRAMS, so 32-bit Wine cannot start: the 32-bit" \
     "DLL gets its binary check only, and the suites run on a 64-bit build of the same sources" >&2
status=0
ctest --preset mingw-i686 -R '^windows\.dll_binary$' || status=$?

started=$(date +%s)
scripts/ensure-packages.sh "${packages_64bit[@]}"
install64_seconds=$(seconds_since "$started")

started=$(date +%s)
cmake --preset mingw-x86_64 -DQX318_SIM_EXECUTABLE="$sim"
cmake --build --preset mingw-x86_64 --parallel "$jobs"
build64_seconds=$(seconds_since "$started")

started=$(date +%s)
start_wine_prefix win64 "$(wine64_loader)"
wineboot_seconds=$(seconds_since "$started")

started=$(date +%s)
ctest --preset mingw-x86_64 || status=$?
test_seconds=$(seconds_since "$started")

echo "windows: install ${install_seconds}s + ${install64_seconds}s (64-bit), qx318-sim" \
     "${sim_seconds}s, build ${build_seconds}s (32-bit) + ${build64_seconds}s (64-bit)," \
     "Wine prefix ${wineboot_seconds}s, tests ${test_seconds}s"
echo "windows: THE SUITES UNDER WINE RAN ON THE 64-BIT BUILD (mingw-x86_64) under 64-bit Wine," \
     "NOT on the shipped 32-bit DLL, which had only its binary check (exports, ordinal imports)"
exit "$status"
