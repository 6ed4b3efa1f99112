#!/usr/bin/env bash
# Builds in Release and runs the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
vx_ensure_packages
vx_configure build-bench -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON -DVX_BUILD_TESTS=OFF
vx_build build-bench
shopt -s nullglob
for b in build-bench/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "=== $(basename "$b")"
  "$b"
done
