// Magma lines: ECB, CTR, CTR-ACPKM, CMAC and MGM (encrypt and tag). The
// engine has no Magma ECB or MGM, so those lines carry "-" on its side.
#include <cstdio>

#include "bench/crypto_bench/bench_line.h"
#include "crypto/magma_blocks.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_mgm.h"
#include "crypto/magma_modes.h"
#include "tests/crypto/engine_oracle.h"

namespace {

using zor::bench::bench_line;
using zor::bench::Operation;
using zor::test::GostEngine;

const uint8_t kKey[32] = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66, 0x55,
                          0x44, 0x33, 0x22, 0x11, 0x00, 0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5,
                          0xf6, 0xf7, 0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
const uint8_t kIv[8] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xab, 0xcd, 0xef};
const uint32_t kKeyWords[8] = {0xffeeddcc, 0xbbaa9988, 0x77665544, 0x33221100,
                               0xf0f1f2f3, 0xf4f5f6f7, 0xf8f9fafb, 0xfcfdfeff};

Operation engine_cipher(GostEngine::Cipher c) {
  GostEngine *e = GostEngine::get();
  if (!e) return {};
  return [e, c](uint8_t *buf, size_t n) { return e->cipher(c, kKey, kIv, buf, n); };
}

void magma_lines() {
  if (!GostEngine::get()) std::printf("# the GOST provider \"gostprov\" is not loadable here\n");
  GostEngine *e = GostEngine::get();
  for (size_t bytes : zor::bench::kSizes) {
    bench_line("Magma-ECB", bytes, [](uint8_t *buf, size_t n) {
      zor::crypto::WideSection section;
      auto *blocks = reinterpret_cast<uint64_t *>(buf);
      zor::crypto::magma_ecb_blocks(kKeyWords, blocks, blocks, n / 8, section.on());
      return true;
    }, {});
    bench_line("Magma-CTR", bytes, [](uint8_t *buf, size_t n) {
      magma_ctr_msb(0x12345678, kKeyWords, buf, int32_t(n));
      return true;
    }, engine_cipher(GostEngine::kCtr));
    bench_line("Magma-CTR-ACPKM", bytes, [](uint8_t *buf, size_t n) {
      magma_ctracpkm_msb(0x78563412, kKey, buf, int32_t(n));
      return true;
    }, engine_cipher(GostEngine::kCtrAcpkm));
    Operation engine_mac;
    if (e) engine_mac = [e](uint8_t *buf, size_t n) {
      uint8_t mac[8];
      return e->mac(kKey, buf, n, mac);
    };
    bench_line("Magma-CMAC", bytes, [](uint8_t *buf, size_t n) {
      uint8_t mac[8];
      magma_cmac_msb(kKey, buf, uint32_t(n), mac);
      return true;
    }, engine_mac);
    bench_line("Magma-MGM", bytes, [](uint8_t *buf, size_t n) {
      uint64_t nonce = 0x0123456789abcdefull, tag;
      static const uint8_t aad[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
      magmamgm_aead(kKeyWords, buf, uint32_t(n), &nonce, aad, sizeof aad, &tag, 1);
      return true;
    }, {});
  }
}

BENCH_GROUP(10, magma_lines);

}  // namespace
