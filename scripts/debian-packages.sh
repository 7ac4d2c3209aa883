#!/usr/bin/env bash
# Builds the Debian packages libqx318-rs485-1, libqx318-rs485-dev and
# qx318-tools into build/debian/ with CPack, from the install rules
# (cmake/Packaging.cmake), then checks them with lintian: an error fails the
# script, warnings and notes are printed. Installs what is missing first.
# tests/packages/check-debian-packages.sh installs and uses them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh linux

# Compiled with the flags a Debian package build uses (hardening included),
# which CMake takes from the environment at a fresh configure; it reads no
# CPPFLAGS, so the preprocessor's (_FORTIFY_SOURCE) go with the compilers'.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $CPPFLAGS"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $CPPFLAGS"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

cmake --preset debian --fresh
cmake --build --preset debian --parallel 2

output=build/debian
rm -rf "$output"
# CPack puts its work folders beside the packages; only the packages stay.
(cd build/debian-build && cpack -G DEB -B "$PWD/../debian")
rm -rf "$output/_CPack_Packages"
ls -l "$output"/*.deb

echo "== lintian =="
# Lintian prefers not to run as root; as root it still checks, and says so.
lintian --fail-on error --display-info "$output"/*.deb
