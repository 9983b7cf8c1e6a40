#!/bin/bash
# Builds the block codec fuzz target with clang (libFuzzer, ASan, UBSan) from
# the codec sources and runs it for a bounded time.
# The seeds directory holds inputs that once found faults; they are run first.
# usage: run_fuzz.sh <source dir> <work dir> <seconds>
set -euo pipefail
src=${1:?source dir}
out=${2:?work dir}
seconds=${3:-60}
mkdir -p "$out/corpus" "$out/artifacts"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$src" -I"$src/kernel/include" \
  "$src"/kernel/codecs/*.cpp "$src/tests/codecs/fuzz/block_codec_fuzz.cpp" \
  -o "$out/block_codec_fuzz"
"$out/block_codec_fuzz" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/artifacts/" "$out/corpus" "$src/tests/codecs/fuzz/seeds"
