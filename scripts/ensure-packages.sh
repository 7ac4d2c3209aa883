#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages a build needs that this machine
# lacks. Usage: ensure-packages.sh PACKAGE...  (or a set name: linux)
set -euo pipefail

linux_packages=(cmake ninja-build g++ pkg-config python3 python3-venv python3-numpy libgtest-dev
                libgmock-dev libbenchmark-dev libcli11-dev libfmt-dev libpng-dev nlohmann-json3-dev)

wanted=()
for arg in "$@"; do
  case "$arg" in
    linux) wanted+=("${linux_packages[@]}") ;;
    *) wanted+=("$arg") ;;
  esac
done

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
