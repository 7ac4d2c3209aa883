#!/usr/bin/env bash
# Builds the network link emulator (dev preset) and runs the library through
# ser2net over an emulated link, one cell at a time: 20, 40 and 80 ms +- 10 ms
# one way, with and without 0.5 % loss each way, tcp:// and rfc2217://, the
# server with nodelay (the recommended configuration) and with Nagle left on.
# Each cell is 300 hellos, 50 measurements of 64 pairs and 5 images of
# 256 x 256 at 115 200 baud, every answer checked against the simulated
# device. Prints one Markdown table: failures per operation (with their
# codes, and answers that were wrong), median / p95 milliseconds per
# operation and the hello's median over the round trip (the goal for
# rfc2217:// with nodelay: at most 1.2). A benchmark, not a test: nothing
# passes or fails.
#
# Usage: scripts/network-grid.sh [--quick] [--delays "20 40 80"] [--schemes "tcp rfc2217"]
#   --quick    30 hellos, 10 measurements, 1 image per cell
#   --delays   one-way delays in ms to run (default 20 40 80)
#   --schemes  schemes to run (default tcp rfc2217)
# Needs root (network namespaces, TUN), ip and ser2net. The full grid takes
# about 30 minutes; each cell is bounded and cleans up after itself.
set -euo pipefail
cd "$(dirname "$0")/.."

hellos=300 measurements=50 images=5
delays="20 40 80"
schemes="tcp rfc2217"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) hellos=30 measurements=10 images=1 ;;
    --delays) delays="$2"; shift ;;
    --schemes) schemes="$2"; shift ;;
    *) echo "usage: $0 [--quick] [--delays LIST] [--schemes LIST]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$(id -u)" -ne 0 ]; then
  echo "network-grid: needs root for network namespaces and TUN devices" >&2
  exit 1
fi
scripts/ensure-packages.sh linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target qx318-netlink-grid qx318-link-relay qx318-sim >/dev/null
grid=build/dev/tests/netlink/qx318-netlink-grid

# A cell that hangs is ended: a hello that fails costs at most about 2.6 s,
# an image about 10 s, so 300 + 50 + 5 of them stay well inside this.
cell_limit_seconds=1500
jitter_ms=10
loss=0.005

echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "$hellos hellos, $measurements measurements of 64 pairs, $images images of 256 x 256 per cell; times in ms, median / p95"
echo
echo "| cell | hello failed | measure failed | image failed | hello | measure | image | hello / round trip |"
echo "|---|---|---|---|---|---|---|---|"
for delay in $delays; do
  for lossy in 0 "$loss"; do
    for scheme in $schemes; do
      for nodelay in 1 0; do
        # --kill-after: a cell that ignores SIGTERM is killed; its
        # namespaces are removed by the next cell's start.
        if ! timeout --kill-after=10 "$cell_limit_seconds" \
          "$grid" "$scheme" "$delay" "$jitter_ms" "$lossy" "$nodelay" \
          "$hellos" "$measurements" "$images"; then
          echo "| $scheme ${delay}±${jitter_ms} ms, loss $lossy, nodelay $nodelay | cell did not complete | | | | | | |"
        fi
      done
    done
  done
done
