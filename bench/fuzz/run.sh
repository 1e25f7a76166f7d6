#!/usr/bin/env bash
# Runs one libFuzzer target for a while: bench/fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# TARGET is one of: version_reply banner_reply mirrors_ini update_ini plan_compiler.
#
# Builds the targets with clang (CXX, default clang++-14) into KV3_FUZZ_BUILD_DIR (default
# build-fuzz/ in the checkout), then fuzzes, at the lowest priority, starting from the seeds in
# bench/fuzz/corpus/TARGET (taken from the tests' inputs) and from what earlier runs found
# (build-fuzz/work/TARGET/corpus). A crash, a leak, undefined behaviour or a broken check ends the
# run with a non-zero exit and leaves the input in build-fuzz/work/TARGET/artifacts/; rerun it with
# bench/fuzz/run.sh TARGET 0 that/file.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
targets="version_reply banner_reply mirrors_ini update_ini plan_compiler"

if [[ $# -lt 2 || ! " $targets " =~ " $1 " || ! $2 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 TARGET SECONDS [libFuzzer options or input files...]" >&2
    echo "targets: $targets" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2

build=${KV3_FUZZ_BUILD_DIR:-$root/build-fuzz}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CXX=${CXX:-clang++-14} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV3_WERROR=ON \
    -DKV3_BUILD_FUZZ=ON -DKV3_BUILD_TESTS=OFF -DKV3_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
nice -n 19 cmake --build "$build" --target "fuzz_$target" -j"$(nproc)"

work=$build/work/$target
mkdir -p "$work/corpus" "$work/artifacts"
options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/")
if [[ $target == version_reply || $target == banner_reply ]]; then
    options+=(-dict="$here/dict/version_reply.dict")
else
    options+=(-dict="$here/dict/ini.dict")
fi
# The targets' scratch folders go here; a crash leaves its folder behind for a look.
export TMPDIR=$work/tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Input files given: run just those (a found crash, say), nothing else.
for argument in "$@"; do
    if [[ -f $argument ]]; then
        exec "$build/bench/fuzz/fuzz_$target" "${options[@]}" "$@"
    fi
done
exec nice -n 19 "$build/bench/fuzz/fuzz_$target" "${options[@]}" -max_total_time="$seconds" "$@" \
    "$work/corpus" "$here/corpus/$target"
