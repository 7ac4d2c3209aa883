#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages a build needs that this machine
# lacks. Usage: ensure-packages.sh PACKAGE...  (or a set name: linux)
set -euo pipefail

linux_packages=(cmake ninja-build g++ pkg-config python3 python3-venv python3-numpy python3-mypy libgtest-dev
                libgmock-dev libbenchmark-dev libcli11-dev libfmt-dev libpng-dev nlohmann-json3-dev libcairo2-dev fonts-dejavu-core
                ser2net iproute2 mono-mcs mono-runtime dpkg-dev lintian man-db file)

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

# On a fresh machine an automatic update often holds the package manager's
# lock for a minute or more: wait for it, within a bound, instead of failing.
lock_wait_seconds=600
apt_get() {
  $sudo env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get \
    -o "DPkg::Lock::Timeout=${lock_wait_seconds}" "$@"
}

# apt-get waits by itself (DPkg::Lock::Timeout) only for the package
# database's lock; "update" takes the package lists' lock, for which it does
# not wait, so it is retried while another run holds that one.
update_package_lists() {
  local deadline=$(( $(date +%s) + lock_wait_seconds ))
  local output told=""
  until output=$(apt_get update -q 2>&1); do
    if ! grep -q "Could not get lock" <<<"$output" || [ "$(date +%s)" -ge "$deadline" ]; then
      printf '%s\n' "$output" >&2
      return 1
    fi
    if [ -z "$told" ]; then
      echo "Another package manager run holds the lock; waiting up to $((lock_wait_seconds / 60)) minutes"
      told=yes
    fi
    sleep 5
  done
  printf '%s\n' "$output"
}

echo "Updating the package lists"
update_package_lists
apt_get install -y -q --no-install-recommends "${missing[@]}"
