#!/usr/bin/env bash
# Builds the benchmarks (dev preset) and prints, in one table, the library
# beside a minimal program over a pseudo-terminal for a hello exchange, a
# 4 095-pair measurement and two images, with system calls counted; then the
# CRC-16 throughput on 1 MiB. Benchmarks, not tests: nothing passes or fails.
#
# Usage: scripts/bench.sh [--repetitions N] [--seconds S]
#   --repetitions  rotated repetitions, the table gives medians (default 11)
#   --seconds      time per side and repetition (default 0.25)
#   --jobs         a comma-separated choice of hello,measure,image256,image1024
# Counting system calls needs root (or perf_event_paranoid -1) and tracefs;
# without them that column reads n/a. Measure on a quiet machine: the load
# is printed with the table.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh linux
cmake --preset dev >/dev/null
cmake --build --preset dev --target qx318_bench_floor qx318_bench_codec >/dev/null

echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo
build/dev/bench/qx318_bench_floor "$@"
echo
build/dev/bench/qx318_bench_codec \
  --benchmark_filter='^BM_(Crc16|StripMarkersAndCrc16)/1048576$' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '^BM_.*_median'
