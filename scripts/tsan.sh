#!/bin/bash
# The ThreadSanitizer build (clang) and the tests labelled tsan: the packet
# path, host, pipeline and completion unit tests and the tunnel's namespace
# test, with zornfhost, the gateway simulator and the driver instrumented.
# Only what those tests need is built. Every report is written to
# BUILD/tsan-reports/ (the namespace test's programs report there too, their
# stderr being the test's logs) and fails the run; a program stops at its
# first report.
#
# BUILD_DIR chooses the build directory (default build-tsan).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-tsan}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZOR_TSAN=ON >/dev/null
cmake --build "$build" --target tsan_targets -j"$(nproc)"
reports=$build/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$reports/report"
status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)" -L tsan) || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/*
  echo "ThreadSanitizer reports: $(ls "$reports" | wc -l) (above)"
  exit 1
fi
exit "$status"
