#!/bin/bash
# The main job: builds everything, runs the crypto self-checks, then shows the
# system at work and prints its figures:
#  - crypto_bench: the GOST primitives beside Debian's GOST engine;
#  - codec_bench: the three block codecs beside zlib level 1;
#  - hostpath_bench: frames through zornfhost (the user-space host of
#    ZorNFFltLib) between network namespaces, beside a plain veth pair;
#  - tunnel_bench: a handshake with the gateway simulator, then ping and TCP
#    through the encrypted tunnel to a host behind the gateway.
# The namespace benchmarks need root; everything stays inside namespaces that
# the scripts create and remove, on documentation address ranges.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
BUILD_DIR=$build "$root/scripts/build.sh"
(cd "$build" && ctest --output-on-failure -L crypto)

run() {
  local prog=$build/bench/$1/$1
  if [ -x "$prog" ]; then
    echo "== $1"
    "$prog"
  fi
}
run crypto_bench
run codec_bench
if [ "$(id -u)" -eq 0 ]; then
  run hostpath_bench
  run tunnel_bench
else
  echo "hostpath_bench and tunnel_bench need root (network namespaces): skipped"
fi
