#!/bin/bash
# Configures and builds the whole tree into build/ (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja "$@"
cmake --build "$build" -j"$(nproc)"
