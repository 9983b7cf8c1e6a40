#include "crypto/gost89_imit.h"

#include "crypto/magma.h"

using namespace zor::crypto;

namespace {

uint64_t sixteen_rounds(const UzTable4K &t, const uint32_t k[8], uint64_t v) {
  uint32_t lo = uint32_t(v), hi = uint32_t(v >> 32);
  uz_rounds_forward(t, k, lo, hi);
  uz_rounds_forward(t, k, lo, hi);
  return uint64_t(hi) << 32 | lo;
}

}  // namespace

extern "C" {

uint32_t ImPrefix(const UzTable4K *table, const uint32_t key[8], const uint8_t *data, uint32_t len) {
  uint64_t mac = 0;
  for (; len >= 8; data += 8, len -= 8) mac = sixteen_rounds(*table, key, mac ^ load_le64(data));
  if (len) {
    // The last len < 8 bytes, zero-padded, as a little-endian value.
    uint64_t last = 0;
    for (uint32_t i = len; i-- > 0;) last = last << 8 | data[i];
    mac = sixteen_rounds(*table, key, mac ^ last);
  }
  store_le64(impref, mac);
  return uint32_t(mac);
}
}
