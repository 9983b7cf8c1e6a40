#include "crypto/gost89.h"

#include "crypto/sbox_sources.h"

using namespace zor::crypto;

extern "C" {

const uint8_t f2009uz_v[128] = {ZOR_SBOX_PARAM_Z};
const uint8_t domuz_v[128] = {ZOR_SBOX_TEST_PARAMS};

// Constant-initialised, so no code has to run before first use.
constinit UzTable4K f2009uz = uz_expand(kSboxParamZ);
constinit UzTable4K domuz = uz_expand(kSboxTestParams);

UzTable4K *randomizeruz = &f2009uz;
UzTable4K *bukuz = &domuz;

void MAKEUZ4K(UzTable4K *dst, const uint8_t *src) { uz_fill_rows(*dst, src); }

void gostcrypt(const UzTable4K *table, const uint32_t key[8], const uint8_t in[8], uint8_t out[8]) {
  store_le64(out, uz_encrypt(*table, key, load_le64(in)));
}

void gostdecrypt(const UzTable4K *table, const uint32_t key[8], const uint8_t in[8], uint8_t out[8]) {
  store_le64(out, uz_decrypt(*table, key, load_le64(in)));
}

void EncipherData8(const UzTable4K *table, const uint32_t key[8], uint8_t *buf, uint32_t len) {
  if (table == nullptr || buf == nullptr || len <= 8) return;
  uint64_t feedback = load_le64(buf);
  uint8_t *p = buf + 8;
  uint32_t left = len - 8;
  for (; left >= 8; p += 8, left -= 8) {
    feedback = load_le64(p) ^ uz_encrypt(*table, key, feedback);
    store_le64(p, feedback);
  }
  const uint64_t last = uz_encrypt(*table, key, feedback);
  for (uint32_t i = 0; i < left; ++i) p[i] ^= uint8_t(last >> (8 * i));
}

}  // extern "C"
