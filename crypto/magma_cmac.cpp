#include "crypto/magma_cmac.h"

#include "crypto/magma.h"

using namespace zor::crypto;

namespace {

uint64_t next_subkey(uint64_t k) { return k << 1 ^ ((k >> 63) ? 0x1Bu : 0u); }

// Native padding: the r data bytes fill the top of the value, a single one
// bit sits right below them (for r = 0 that is bit 63 alone).
uint64_t pad_native(const uint8_t *p, uint32_t r) {
  uint64_t v = 0;
  for (uint32_t i = r; i-- > 0;) v = v << 8 | p[i];
  const uint32_t free_bits = 8 * (8 - r);
  return (r ? v << free_bits : 0) | uint64_t(1) << (free_bits - 1);
}

// Standard padding in memory: the r < 8 bytes, then 0x80, then zeros; read
// big-endian (built in a register: no scratch block to index past).
uint64_t pad_msb(const uint8_t *p, uint32_t r) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < r; ++i) v = v << 8 | p[i];
  v = v << 8 | 0x80;
  return v << (8 * (7 - r));
}

template <bool kMsb>
CmacTail tail_of(uint64_t k1, const uint8_t *data, uint32_t len) {
  const uint32_t m = len >= 9 ? ((len - 9) >> 3) + 1 : 0, r = len - 8 * m;
  const uint8_t *last = data + 8 * m;
  if (r == 8) return {m, (kMsb ? bswap64(load_le64(last)) : load_le64(last)) ^ k1};
  return {m, (kMsb ? pad_msb(last, r) : pad_native(last, r)) ^ next_subkey(k1)};
}

template <bool kMsb>
uint64_t cmac_value(const uint32_t key[8], const uint8_t *data, uint32_t len) {
  if (data == nullptr) len = 0;
  auto load = [](const uint8_t *p) { return kMsb ? bswap64(load_le64(p)) : load_le64(p); };
  const CmacTail tail = tail_of<kMsb>(cmac_first_subkey(key), data, len);
  uint64_t c = 0;
  for (uint32_t i = 0; i < tail.blocks; ++i) c = magmaencrypt_ni(c ^ load(data + 8 * i), key);
  return magmaencrypt_ni(c ^ tail.last, key);
}

}  // namespace

namespace zor::crypto {

uint64_t cmac_first_subkey(const uint32_t key[8]) { return next_subkey(magmaencrypt_ni(0, key)); }

CmacTail cmac_native_tail(uint64_t k1, const uint8_t *data, uint32_t len) {
  return tail_of<false>(k1, data, len);
}

}  // namespace zor::crypto

extern "C" {

void magma_cmac(const uint32_t key[8], const uint8_t *data, uint32_t len, uint8_t out[8]) {
  store_le64(out, cmac_value<false>(key, data, len));
}

uint64_t magma_cmac_msb_keylsb(const uint32_t key[8], const uint8_t *data, uint32_t len,
                               uint8_t out[8]) {
  const uint64_t mac = cmac_value<true>(key, data, len);
  store_le64(out, bswap64(mac));
  return bswap64(mac);
}

uint64_t magma_cmac_msb(const uint8_t key[32], const uint8_t *data, uint32_t len, uint8_t out[8]) {
  uint32_t words[8];
  load_key_be(words, key);
  return magma_cmac_msb_keylsb(words, data, len, out);
}

}  // extern "C"
