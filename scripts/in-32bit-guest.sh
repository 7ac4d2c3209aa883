#!/usr/bin/env bash
# Runs a command in a QEMU guest whose kernel runs 32-bit programs, for
# machines whose own kernel cannot (32-bit Wine needs them). The guest boots
# Debian's own kernel under software emulation (no KVM needed), sees the
# host's filesystem read-only with a scratch tmpfs over it, and this project's
# folder read-write, so that what the command writes there (build folders,
# test logs) is on the host afterwards. The command runs in the current
# folder, which must lie inside the project, with PATH, HOME, JOBS and the
# WINE* variables of the caller; its output is shown as it comes, and its exit
# status is this script's.
#
# Usage: in-32bit-guest.sh COMMAND [ARGUMENT...]
# Environment: GUEST_TIMEOUT (seconds for the whole run, default 1200),
#              GUEST_MEMORY (MiB, default 3072).
#
# -cpu qemu64, not max: with max every Wine process dies at start while
# wineboot still reports success.
set -euo pipefail
project="$(cd "$(dirname "$0")/.." && pwd)"

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGUMENT...]" >&2
  exit 2
fi
case "$PWD/" in
  "$project"/*) ;;
  *) echo "in-32bit-guest: run it from inside $project" >&2; exit 2 ;;
esac

"$project/scripts/ensure-packages.sh" qemu-system-x86 linux-image-amd64 busybox-static cpio

# The newest installed kernel whose modules are there.
find_kernel() {
  local image version
  for image in $(ls -1v /boot/vmlinuz-* 2>/dev/null | sort -rV); do
    version="${image#/boot/vmlinuz-}"
    if [ -f "/lib/modules/$version/modules.dep" ]; then
      echo "$version"
      return 0
    fi
  done
  echo "in-32bit-guest: no /boot/vmlinuz-* with its modules (package linux-image-amd64)" >&2
  return 1
}

# The initramfs: busybox, the init script and the modules it loads. Rebuilt
# when the kernel or the init script changes.
build_initramfs() {
  local version="$1" out="$2"
  local stamp="$version $(sha256sum "$project/scripts/guest/init" | cut -d' ' -f1)"
  if [ -f "$out" ] && [ "$(cat "$out.stamp" 2>/dev/null)" = "$stamp" ]; then
    return 0
  fi
  local tree
  tree="$(mktemp -d)"
  mkdir -p "$tree/bin" "$tree/modules" "$tree/proc" "$tree/sys" "$tree/dev"
  cp /bin/busybox "$tree/bin/busybox"
  install -m 755 "$project/scripts/guest/init" "$tree/init"
  local module path
  for module in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci \
                9pnet 9pnet_virtio netfs fscache 9p overlay; do
    path="$(find "/lib/modules/$version/kernel" -name "$module.ko*" | head -n 1)"
    if [ -z "$path" ]; then
      echo "in-32bit-guest: module $module not found for kernel $version" >&2
      rm -rf "$tree"
      return 1
    fi
    case "$path" in
      *.ko.xz) xz -dc "$path" >"$tree/modules/$module.ko" ;;
      *.ko.zst) zstd -qdc "$path" >"$tree/modules/$module.ko" ;;
      *) cp "$path" "$tree/modules/$module.ko" ;;
    esac
  done
  (cd "$tree" && find . | cpio --quiet -o -H newc | gzip -1) >"$out.tmp"
  mv "$out.tmp" "$out"
  echo "$stamp" >"$out.stamp"
  rm -rf "$tree"
}

# The command as a script in the run folder, with the caller's folder and the
# environment it needs.
write_command() {
  local run="$1"
  shift
  {
    echo "set -e"
    local name
    for name in PATH HOME JOBS LANG $(compgen -e | grep '^WINE' || true); do
      [ -n "${!name+x}" ] && printf 'export %s=%q\n' "$name" "${!name}"
    done
    printf 'cd %q\n' "$PWD"
    printf '%q ' "$@"
    echo
  } >"$run/command.sh"
}

guest="$project/build/guest"
mkdir -p "$guest"
version="$(find_kernel)"
build_initramfs "$version" "$guest/initramfs.gz"

run="$(mktemp -d "$guest/run.XXXXXX")"
trap 'rm -rf "$run"' EXIT
write_command "$run" "$@"
: >"$run/output.log"

timeout "${GUEST_TIMEOUT:-1200}" qemu-system-x86_64 \
  -machine pc,accel=tcg -cpu qemu64 -smp 2 -m "${GUEST_MEMORY:-3072}" \
  -kernel "/boot/vmlinuz-$version" -initrd "$guest/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1 qx318.project=$project qx318.run=$run" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$project,mount_tag=project,security_model=none,multidevs=remap" \
  -display none -monitor none -serial "file:$run/console.log" -no-reboot &
qemu=$!
tail --pid="$qemu" -n +1 -f "$run/output.log"
qemu_status=0
wait "$qemu" || qemu_status=$?

if [ ! -f "$run/status" ]; then
  if [ "$qemu_status" -eq 124 ]; then
    echo "in-32bit-guest: THE GUEST DID NOT FINISH within ${GUEST_TIMEOUT:-1200} s" >&2
  else
    echo "in-32bit-guest: THE GUEST ENDED WITHOUT RUNNING THE COMMAND (qemu status $qemu_status);" \
         "its console:" >&2
  fi
  tail -n 30 "$run/console.log" >&2 || true
  exit 125
fi
exit "$(cat "$run/status")"
