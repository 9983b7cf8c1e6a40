#include "crypto/magma_mgm.h"

#include "crypto/cpu_features.h"
#include "crypto/magma_blocks.h"
#include "crypto/mgm_blocks.h"

using namespace zor::crypto;

namespace {

constexpr uint32_t kChunkBlocks = 32;

// Bitwise product in GF(2^64) modulo x^64 + x^4 + x^3 + x + 1.
uint64_t gf64_mul(uint64_t a, uint64_t h) {
  uint64_t s = 0;
  for (int i = 0; i < 64; ++i) {
    s ^= h & (0 - ((a >> i) & 1));
    h = h << 1 ^ (0x1B & (0 - (h >> 63)));
  }
  return s;
}

// Adds the blocks of one message to the sum, hash keys from E(Z(first)) on.
uint64_t hash_message(const uint32_t key[8], uint64_t z1, uint32_t first, const uint8_t *p,
                      uint32_t len, uint64_t sum) {
  uint64_t h[kChunkBlocks];
  const uint32_t q = mgm_block_count(len);
  for (uint32_t done = 0; done < q; done += kChunkBlocks) {
    const uint32_t n = q - done < kChunkBlocks ? q - done : kChunkBlocks;
    magma_counter_blocks(key, add_high(z1, first + done), CounterHalf::kHigh, h, n, false);
    for (uint32_t i = 0; i < n; ++i) sum ^= gf64_mul(mgm_block(p, len, done + i), h[i]);
  }
  return sum;
}

}  // namespace

extern "C" {

uint32_t magma_support_fast_MGM(void) { return cpu_has_clmul_ssse3() ? 1 : 0; }

void magma_mgm_ctr(const uint32_t key[8], uint64_t y1, uint8_t *data, uint32_t len) {
  if (data == nullptr) return;
  uint64_t ks[kChunkBlocks];
  const uint32_t q = mgm_block_count(len);
  for (uint32_t done = 0; done < q; done += kChunkBlocks) {
    const uint32_t n = q - done < kChunkBlocks ? q - done : kChunkBlocks;
    magma_counter_blocks(key, add_low(y1, done), CounterHalf::kLow, ks, n, false);
    for (uint32_t i = 0; i < n; ++i) mgm_xor_block(data, len, done + i, ks[i]);
  }
}

uint64_t magma_mgm_gmac(const uint32_t key[8], uint64_t z1, const uint8_t *aad, uint32_t aadlen,
                        const uint8_t *cdata, uint32_t len) {
  if (aad == nullptr) aadlen = 0;
  if (cdata == nullptr) len = 0;
  const uint32_t h = mgm_block_count(aadlen), q = mgm_block_count(len);
  uint64_t sum = hash_message(key, z1, 0, aad, aadlen, 0);
  sum = hash_message(key, z1, h, cdata, len, sum);
  const uint64_t hlen = magmaencrypt_ni(add_high(z1, h + q), key);
  sum ^= gf64_mul(mgm_length_block(aadlen, len), hlen);
  return magmaencrypt_ni(sum, key);
}

void magmamgm_aead(const uint32_t key[8], uint8_t *data, uint32_t len, const uint64_t *nonce,
                   const uint8_t *aad, uint32_t aadlen, uint64_t *tag, uint32_t encrypt) {
  if (data == nullptr) len = 0;
  if (aad == nullptr) aadlen = 0;
  // The vector path also needs the instructions, whatever the host grants.
  if (magma_support_fast_MGM() && fpu_begin()) {
    magmamgm_aead_128_sse(data, len, key, nonce, aad, aadlen, tag, encrypt);
    fpu_end();
    return;
  }
  const uint64_t n = load_le64(reinterpret_cast<const uint8_t *>(nonce));
  const uint64_t y1 = magmaencrypt_ni(n & ~kMgmTopBit, key);
  const uint64_t z1 = magmaencrypt_ni(n | kMgmTopBit, key);
  if (encrypt) magma_mgm_ctr(key, y1, data, len);
  const uint64_t t = magma_mgm_gmac(key, z1, aad, aadlen, data, len);
  if (!encrypt) magma_mgm_ctr(key, y1, data, len);
  store_le64(reinterpret_cast<uint8_t *>(tag), t);
}

void magmamgm_aead_many(const uint32_t key[8], MgmMessage *msgs, uint32_t n, uint32_t encrypt) {
  if (magma_support_fast_MGM() && fpu_begin()) {
    magmamgm_aead_many_sse(key, msgs, n, encrypt);
    fpu_end();
    return;
  }
  for (uint32_t j = 0; j < n; j++) {
    MgmMessage &m = msgs[j];
    uint8_t nonce[8], tag[8];
    store_le64(nonce, m.nonce);
    magmamgm_aead(key, m.data, m.len, reinterpret_cast<const uint64_t *>(nonce), m.aad, m.aadlen,
                  reinterpret_cast<uint64_t *>(tag), encrypt);
    m.tag = load_le64(tag);
  }
}

}  // extern "C"
