#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every test.
# KV3_BUILD_DIR chooses the build folder (default: build/ in the checkout).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KV3_BUILD_DIR:-$root/build}
jobs=$(nproc)

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV3_WERROR=ON
cmake --build "$build" -j"$jobs"
cd "$build"
ctest --output-on-failure -j"$jobs"
