#include "crypto/gost89_imit.h"

#include "crypto/magma.h"

using namespace zor::crypto;

namespace {

uint64_t sixteen_rounds(const UzTable4K &t, const uint32_t k[8], uint64_t v) {
  uint32_t lo = uint32_t(v), hi = uint32_t(v >> 32);
  for (int pass = 0; pass < 2; ++pass)
    for (int i = 0; i < 8; i += 2) {
      hi ^= uz_g(t, lo + k[i]);
      lo ^= uz_g(t, hi + k[i + 1]);
    }
  return uint64_t(hi) << 32 | lo;
}

}  // namespace

extern "C" {

uint32_t ImPrefix(const UzTable4K *table, const uint32_t key[8], const uint8_t *data, uint32_t len) {
  uint64_t mac = 0;
  for (; len >= 8; data += 8, len -= 8) mac = sixteen_rounds(*table, key, mac ^ load_le64(data));
  if (len) {
    uint8_t last[8] = {};
    for (uint32_t i = 0; i < len; ++i) last[i] = data[i];
    mac = sixteen_rounds(*table, key, mac ^ load_le64(last));
  }
  store_le64(impref, mac);
  return uint32_t(mac);
}
}
