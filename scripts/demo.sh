#!/bin/bash
# The main job: builds everything, runs the crypto self-checks and prints the
# crypto benchmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$root/build "$root/scripts/build.sh"
(cd "$root/build" && ctest --output-on-failure -L crypto)
if [ -x "$root/build/bench/crypto_bench/crypto_bench" ]; then
  "$root/build/bench/crypto_bench/crypto_bench"
fi
