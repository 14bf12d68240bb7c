#!/bin/sh
# Builds the conversion fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for SECONDS (default 60) on a
# copy of the seed corpus. Inputs that fail are kept in build-fuzz/.
# Usage: scripts/fuzz.sh [SECONDS]
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build-fuzz"

CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORMA_SANITIZER=asan \
  -DORMA_BUILD_FUZZERS=ON -DORMA_BUILD_TESTS=OFF -DORMA_BUILD_CONSOLE=OFF >/dev/null
cmake --build "$dir" --target market_data_converter_fuzzer -j"$(nproc)"

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$top"/tests/fuzz/corpus/* "$corpus"/
"$dir/tests/fuzz/market_data_converter_fuzzer" -max_total_time="$seconds" -max_len=2500 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" "$corpus"
