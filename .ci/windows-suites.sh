#!/usr/bin/env bash
# One Windows build's suites under Wine, in a fresh prefix of its own:
#   windows-suites.sh win32 mingw-i686      (the x86 DLL, under 32-bit Wine)
#   windows-suites.sh win64 mingw-x86_64    (the x64 DLL, under 64-bit Wine)
# The build folder must be built already (.ci/windows.sh does it). Run by
# .ci/windows.sh directly, or inside the QEMU guest of
# scripts/in-32bit-guest.sh where this kernel cannot run 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 2 ] || [[ "$1" != win32 && "$1" != win64 ]]; then
  echo "usage: $0 win32|win64 PRESET" >&2
  exit 2
fi
arch="$1"
preset="$2"

seconds_since() { echo $(( $(date +%s) - $1 )); }

# Debian's "wine" starts the 32-bit loader whenever wine32 is installed; a
# 64-bit prefix needs the 64-bit one by name.
wine_loader() {
  if [ "$arch" = win32 ]; then
    command -v wine
  else
    command -v wine64 2>/dev/null || echo /usr/lib/wine/wine64
  fi
}

# The tests link their COM ports into the prefix's dosdevices/. A persistent
# server with its output detached: otherwise every test waits for Wine's
# services, which hold the test's output pipe open.
start_wine_prefix() {
  WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/qx318-wine.XXXXXX")"
  export WINEPREFIX WINEARCH="$arch" WINEDEBUG=-all
  # No Mono or Gecko installers in a prefix that only runs console programs.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  trap stop_wine EXIT
  wineserver -p </dev/null >/dev/null 2>&1
  "$(wine_loader)" wineboot --init </dev/null >/dev/null 2>&1
}
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}

started=$(date +%s)
start_wine_prefix
prefix_seconds=$(seconds_since "$started")

started=$(date +%s)
status=0
# A failing suite's own output goes into the log: a Wine run is not easily
# repeated by whoever reads it.
ctest --preset "$preset" --output-on-failure || status=$?
echo "windows suites ($preset, $arch Wine): prefix ${prefix_seconds}s, tests $(seconds_since "$started")s"
exit "$status"
