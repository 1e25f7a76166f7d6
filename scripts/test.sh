#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every test.
# KV3_BUILD_DIR chooses the build folder (default: build/ in the checkout).
#
# scripts/test.sh --sanitize builds instead into "<build folder>-asan" with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the same suite there; any finding (memory error, leak,
# undefined behaviour) fails the test that met it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KV3_BUILD_DIR:-$root/build}
jobs=$(nproc)

sanitize=0
for argument in "$@"; do
    case $argument in
    --sanitize) sanitize=1 ;;
    *)
        echo "usage: $0 [--sanitize]" >&2
        exit 2
        ;;
    esac
done

"$root/scripts/install-deps.sh"
if [[ $sanitize == 0 ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV3_WERROR=ON
    cmake --build "$build" -j"$jobs"
    cd "$build"
    ctest --output-on-failure -j"$jobs"
    exit
fi

build=$build-asan
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV3_WERROR=ON -DKV3_SANITIZE=ON \
    -DKV3_BUILD_BENCH=OFF
cmake --build "$build" -j"$jobs"
cd "$build"
# Every finding ends the process with a failure; leak checks run at exit. A program that the tests
# start (the real updater, kv3-publish) inherits the same settings.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --output-on-failure -j"$jobs"
