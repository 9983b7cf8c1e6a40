// Side-by-side chains: the CMAC and the OFB of 45 datagrams of 1,408 bytes
// (one large TCP frame cut for the tunnel) in one call, beside the same 45
// one at a time. Lines "Magma-CMAC-45" / "Magma-OFB-45" (lanes) and
// "Magma-CMAC-45-serial" / "Magma-OFB-45-serial"; the engine column is the
// engine's CMAC of the 45 one by one.
#include <cstdio>
#include <vector>

#include "bench/crypto_bench/bench_line.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_lanes.h"
#include "crypto/magma_modes.h"
#include "tests/crypto/engine_oracle.h"

namespace {

using zor::bench::bench_line;
using zor::bench::Operation;

constexpr size_t kDatagrams = 45, kDatagram = 1408;
const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint32_t kKeyWords[8] = {0x04030201, 0x08070605, 0x0c0b0a09, 0x100f0e0d,
                               0x14131211, 0x18171615, 0x1c1b1a19, 0x201f1e1d};

void lanes_lines() {
  const size_t bytes = kDatagrams * kDatagram;
  bench_line("Magma-CMAC-45", bytes, [](uint8_t *buf, size_t) {
    zor::crypto::MacLane lanes[kDatagrams];
    for (size_t i = 0; i < kDatagrams; i++) lanes[i] = {kKeyWords, buf + i * kDatagram, kDatagram, 0};
    zor::crypto::magma_cmac_lanes(lanes, kDatagrams);
    return true;
  }, {});
  bench_line("Magma-CMAC-45-serial", bytes, [](uint8_t *buf, size_t) {
    uint8_t mac[8];
    for (size_t i = 0; i < kDatagrams; i++) magma_cmac(kKeyWords, buf + i * kDatagram, kDatagram, mac);
    return true;
  }, [](uint8_t *buf, size_t) {
    zor::test::GostEngine *e = zor::test::GostEngine::get();
    uint8_t mac[8];
    for (size_t i = 0; i < kDatagrams; i++)
      if (!e || !e->mac(kKey, buf + i * kDatagram, kDatagram, mac)) return false;
    return true;
  });
  bench_line("Magma-OFB-45", bytes, [](uint8_t *buf, size_t) {
    zor::crypto::OfbLane lanes[kDatagrams];
    for (size_t i = 0; i < kDatagrams; i++) lanes[i] = {kKeyWords, buf + i * kDatagram, kDatagram, i};
    zor::crypto::magma_ofb_lanes(lanes, kDatagrams);
    return true;
  }, {});
  bench_line("Magma-OFB-45-serial", bytes, [](uint8_t *buf, size_t) {
    for (uint64_t i = 0; i < kDatagrams; i++) magma_ofb(kKeyWords, buf + i * kDatagram, kDatagram, &i);
    return true;
  }, {});
}

BENCH_GROUP(15, lanes_lines);

}  // namespace
