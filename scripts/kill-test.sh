#!/usr/bin/env bash
# Kills VxNmxLogger with SIGKILL at random moments under load and checks every file it left
# (the KillTest cases of the end-to-end tests): KILLS per mode, 100 by default, so 200 in all.
# usage: scripts/kill-test.sh [KILLS] [BUILD_DIR]   (VX_KILL_SEED=N repeats a sequence)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

kills=${1:-100}
dir=${2:-build}
vx_ensure_packages
vx_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
vx_build "$dir" --target e2e_tests >"$dir/kill-test-build.log" 2>&1 || {
  tail -n 40 "$dir/kill-test-build.log"
  exit 1
}
VX_KILL_RUNS=$kills "$dir/tests/e2e/e2e_tests" --gtest_filter='KillTest.*'
