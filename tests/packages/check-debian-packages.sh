#!/usr/bin/env bash
# Installs the three Debian packages that scripts/debian-packages.sh built
# into build/debian/, uses them as a user would, with no environment
# variable pointing anywhere, then purges them and checks that none of their
# files is left behind:
#   - a C program built with pkg-config, and one from a CMake project with
#     find_package(QX318_RS485), each say hello to qx318-sim;
#   - qx318 --version, man -w for both pages, qx318 demo, the completion;
#   - pip install ./python in a virtual environment loads the installed
#     library and says hello.
# Needs root (or sudo) for apt-get. Usage: check-debian-packages.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD

packages=(libqx318-rs485-1 libqx318-rs485-dev qx318-tools)
debs=(build/debian/*.deb)
if [ ${#debs[@]} -ne ${#packages[@]} ]; then
  echo "expected ${#packages[@]} packages in build/debian/, found: ${debs[*]}" >&2
  exit 1
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() {
  $sudo env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get -o DPkg::Lock::Timeout=600 -q "$@"
}

work=$(mktemp -d)
simulator_pid=""
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
cleanup() {
  [ -n "$simulator_pid" ] && kill "$simulator_pid" 2>/dev/null || true
  for package in "${packages[@]}"; do
    if installed "$package"; then
      apt_get remove --purge -y "${packages[@]}" >/dev/null || true
      break
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Tried on a system without them: an older install would hide what these
# packages lack.
for package in "${packages[@]}"; do
  if installed "$package"; then
    echo "$package is installed already; remove it first" >&2
    exit 1
  fi
done

echo "== install =="
apt_get install -y --no-install-recommends "${debs[@]/#/./}"
for package in "${packages[@]}"; do
  dpkg -L "$package" >"$work/$package.files"
done
# The library package's ldconfig trigger ran: the linker's cache has it.
if ! ldconfig -p | grep -q "libQX318_RS485.so.1 "; then
  echo "the dynamic linker's cache lacks libQX318_RS485.so.1 after the install" >&2
  exit 1
fi

# From here on, the environment a new login has: nothing that names the
# library, its headers or its packages.
clean() { env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$work" LC_ALL=C.UTF-8 "$@"; }

echo "== simulator =="
clean qx318-sim --link "$work/bus" >"$work/simulator.out" 2>&1 &
simulator_pid=$!
for _ in $(seq 50); do
  [ -e "$work/bus" ] && break
  sleep 0.1
done
[ -e "$work/bus" ] || { cat "$work/simulator.out" >&2; exit 1; }

echo "== pkg-config =="
# shellcheck disable=SC2046 # the flags are words
clean cc "$source_dir/tests/packages/hello/hello.c" \
  $(clean pkg-config --cflags --libs QX318_RS485) -o "$work/hello-pkg-config"
clean "$work/hello-pkg-config" "$work/bus"

echo "== find_package =="
clean cmake -S "$source_dir/tests/packages/hello" -B "$work/cmake-hello" -G Ninja >/dev/null
clean cmake --build "$work/cmake-hello" >/dev/null
clean "$work/cmake-hello/hello" "$work/bus"

echo "== tools =="
clean qx318 --version
clean man -w qx318
clean man -w qx318-sim
(cd "$work" && clean qx318 demo >"$work/demo.out")
tail -n 2 "$work/demo.out"
[ -s "$work/qx318-demo.png" ] || { echo "qx318 demo left no qx318-demo.png" >&2; exit 1; }
completion=$(clean bash -c 'source /usr/share/bash-completion/completions/qx318;
  COMP_WORDS=(qx318 measure --pl); COMP_CWORD=2; _qx318; echo "${COMPREPLY[*]}"')
[ "$completion" = "--plot" ] || { echo "completion of --pl: '$completion'" >&2; exit 1; }

echo "== python =="
clean python3 -m venv "$work/venv"
clean "$work/venv/bin/pip" install --quiet --no-index "$source_dir/python"
clean "$work/venv/bin/python" - "$work/bus" <<'PYTHON'
import sys

import qx318

with qx318.open_port(sys.argv[1], baud=115200) as port:
    hello = port.device(1).hello()
print(f"python: {qx318.load_library().path}: hello value1 {hello.value1}")
PYTHON

kill "$simulator_pid"
wait "$simulator_pid" || true
simulator_pid=""

echo "== purge =="
apt_get remove --purge -y "${packages[@]}"
# Every path the packages listed is gone, unless another package owns it
# (the folders they share with the system); "/." is the root itself.
left=()
while IFS= read -r path; do
  [ "$path" = "/." ] && continue
  if [ -e "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1; then
    left+=("$path")
  fi
done < <(cat "$work"/*.files | sort -u)
if [ ${#left[@]} -ne 0 ]; then
  printf 'left after the purge: %s\n' "${left[@]}" >&2
  exit 1
fi
if ldconfig -p | grep -q QX318_RS485; then
  echo "the dynamic linker's cache still names the library after the purge" >&2
  exit 1
fi
echo "installed, used and purged: ${packages[*]}"
