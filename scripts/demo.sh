#!/usr/bin/env bash
# Builds the program. (The full demo on the stand-in router arrives with the console front end.)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
vx_ensure_packages
vx_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
vx_build build
echo "Built into build/."
