#!/bin/bash
# The fuzz build and its targets (clang, libFuzzer, ASan + UBSan).
#
#   fuzz.sh --ci                 builds the targets and runs each for a few
#                                seconds on its seeds (ctest -L fuzz)
#   fuzz.sh SECONDS [TARGET...]  runs the targets (default: all) for SECONDS
#                                each, on a corpus kept in build-fuzz/corpus/
#                                between runs; findings go to
#                                build-fuzz/findings/TARGET/
#   fuzz.sh --seeds TARGET...    writes the seed corpus of targets that make
#                                their own (ZOR_WRITE_SEEDS) anew
#
# BUILD_DIR chooses the build directory (default build-fuzz); FUZZ_SECONDS
# the seconds per target of --ci (default 10).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}

# Several runs may start at once (one per target): one configures and builds
# at a time.
configure_and_build() {
  mkdir -p "$build"
  exec 9>"$build/.fuzz-build.lock"
  flock 9
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZOR_FUZZ=ON \
    -DZOR_FUZZ_SECONDS="${FUZZ_SECONDS:-10}" >/dev/null
  # Only the fuzz targets and what they link.
  cmake --build "$build" --target fuzz_targets -j"${JOBS:-4}"
  flock -u 9
}

# Lines of fuzz_targets.txt: name, binary, seed directory, largest input.
targets() { sort -u "$build/fuzz_targets.txt"; }

configure_and_build
case "${1:-}" in
  --ci)
    cd "$build" && ctest --output-on-failure -L fuzz -j"${JOBS:-4}"
    ;;
  --seeds)
    shift
    targets | while read -r name binary seeds _; do
      if ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
      fresh=$(mktemp -d)
      ZOR_WRITE_SEEDS="$fresh" "$binary" -runs=0 >/dev/null 2>&1 || true
      if [ -n "$(ls "$fresh")" ]; then
        rm -f "$seeds"/*
        mv "$fresh"/* "$seeds"/
      fi
      rmdir "$fresh" 2>/dev/null || rm -rf "$fresh"
      echo "$name: $(ls "$seeds" | wc -l) seeds"
    done
    ;;
  ''|-*)
    sed -n '2,/^set/p' "$0" | sed '$d'
    exit 2
    ;;
  *)
    seconds=$1
    shift
    targets | while read -r name binary seeds max_len; do
      if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
      corpus=$build/corpus/$name
      findings=$build/findings/$name
      mkdir -p "$corpus" "$findings"
      echo "== $name: $seconds s"
      "$binary" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds" \
        2>&1 | tee "$build/$name.log" | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true
    done
    ;;
esac
