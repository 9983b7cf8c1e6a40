// Block handling shared by the two MGM paths.
#pragma once
#include <stdint.h>

#include "crypto/magma.h"
#include "crypto/magma_blocks.h"

namespace zor::crypto {

constexpr uint64_t kMgmTopBit = uint64_t(1) << 63;

inline uint32_t mgm_block_count(uint32_t len) { return len / 8 + (len % 8 ? 1 : 0); }

// Y(i + 1) and Z(i + 1): the counters count in the low and the high half.
inline uint64_t add_low(uint64_t y1, uint32_t i) { return counter_at(y1, CounterHalf::kLow, i); }
inline uint64_t add_high(uint64_t z1, uint32_t i) { return counter_at(z1, CounterHalf::kHigh, i); }

// Block idx of a len-byte message as hashed: a last partial block of r bytes
// is its bytes as a little-endian number at the top of the value.
inline uint64_t mgm_block(const uint8_t *p, uint32_t len, uint32_t idx) {
  const uint8_t *b = p + 8 * uint64_t(idx);
  const uint32_t r = len - 8 * idx;
  if (r >= 8) return load_le64(b);
  uint64_t v = 0;
  for (uint32_t i = r; i-- > 0;) v = v << 8 | b[i];
  return v << (8 * (8 - r));
}

// XORs block idx with a keystream block; a last partial block of r bytes
// takes the keystream's top r bytes.
inline void mgm_xor_block(uint8_t *p, uint32_t len, uint32_t idx, uint64_t ks) {
  uint8_t *b = p + 8 * uint64_t(idx);
  const uint32_t r = len - 8 * idx;
  if (r >= 8) return store_le64(b, load_le64(b) ^ ks);
  for (uint32_t j = 0; j < r; ++j) b[j] ^= uint8_t(ks >> (8 * (8 - r + j)));
}

// Both lengths in bits, the associated data's in the high half.
inline uint64_t mgm_length_block(uint32_t aadlen, uint32_t len) {
  return uint64_t(uint32_t(aadlen * 8u)) << 32 | uint32_t(len * 8u);
}

}  // namespace zor::crypto
