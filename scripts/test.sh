#!/bin/bash
# Builds and runs every test: the regular build (and its Debian package,
# installed and purged), then the sanitizer build (ASan/UBSan, the kernel-side
# objects that zornfhost and the tests link instrumented too), both through
# ctest (the namespace tests in the regular build, and the soak in both); the
# ThreadSanitizer build of the threaded tests and the tunnel's namespace test
# (scripts/tsan.sh); then an optimised Release build (built only: -O3 brings
# its own warnings, which -Werror must not meet) and a clang build of the
# whole tree (built only); last every fuzz target for
# a few seconds on its seeds (clang's fuzz build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$root/build "$root/scripts/build.sh"
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")
# The Debian package of that build: installed, checked and purged again.
BUILD_DIR=$root/build bash "$root/scripts/package-check.sh"
BUILD_DIR=$root/build-asan "$root/scripts/build.sh" -DZOR_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j"$(nproc)" -LE netns)
# The soak once more on the sanitizer build: zornfhost's leak check at exit.
(cd "$root/build-asan" && ctest --output-on-failure -R packetpath_soak_netns)
BUILD_DIR=$root/build-tsan bash "$root/scripts/tsan.sh"
BUILD_DIR=$root/build-release "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release
# The whole tree with clang too (built only), so that its warnings fail it.
BUILD_DIR=$root/build-clang CC=clang CXX=clang++ "$root/scripts/build.sh"
bash "$root/scripts/fuzz.sh" --ci
