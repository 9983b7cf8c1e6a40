#include "crypto/magma_blocks.h"

#include "crypto/magma.h"

namespace zor::crypto {

namespace {

constexpr size_t kLanes = 4;

// kLanes blocks through the 32 rounds together, so their table look-ups
// overlap. Kept out of the auto-vectoriser: vector lanes would have to
// gather every look-up one by one (and the kernel build must not touch
// vector registers outside a granted section).
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void encrypt_lanes(const uint32_t k[8], uint64_t *v, size_t n) {
  const UzTable4K &t = MAGMA_sbox_4k;
  uint32_t lo[kLanes] = {}, hi[kLanes] = {};
  for (size_t b = 0; b < n; ++b) {
    lo[b] = uint32_t(v[b]);
    hi[b] = uint32_t(v[b] >> 32);
  }
  // Fully unrolled, so that the lanes live in registers.
  auto rounds = [&](int i, int j) {
#pragma GCC unroll 8
    for (size_t b = 0; b < kLanes; ++b) hi[b] ^= uz_g(t, lo[b] + k[i]);
#pragma GCC unroll 8
    for (size_t b = 0; b < kLanes; ++b) lo[b] ^= uz_g(t, hi[b] + k[j]);
  };
#pragma GCC unroll 4
  for (int pass = 0; pass < 3; ++pass)
#pragma GCC unroll 4
    for (int i = 0; i < 8; i += 2) rounds(i, i + 1);
#pragma GCC unroll 4
  for (int i = 7; i > 0; i -= 2) rounds(i, i - 1);
  for (size_t b = 0; b < n; ++b) v[b] = uint64_t(lo[b]) << 32 | hi[b];
}

}  // namespace

void magma_counter_blocks(const uint32_t key[8], uint64_t start, CounterHalf half, uint64_t *out,
                          size_t n, bool wide) {
  if (wide) return magma_counter_blocks_avx512(key, start, half, out, n);
  for (size_t i = 0; i < n; i += kLanes) {
    const size_t m = n - i < kLanes ? n - i : kLanes;
    for (size_t b = 0; b < m; ++b) out[i + b] = counter_at(start, half, i + b);
    encrypt_lanes(key, out + i, m);
  }
}

void magma_ecb_blocks(const uint32_t key[8], const uint64_t *in, uint64_t *out, size_t n,
                      bool wide) {
  if (wide) return magma_ecb_blocks_avx512(key, in, out, n);
  for (size_t i = 0; i < n; i += kLanes) {
    const size_t m = n - i < kLanes ? n - i : kLanes;
    for (size_t b = 0; b < m; ++b) out[i + b] = in[i + b];
    encrypt_lanes(key, out + i, m);
  }
}

}  // namespace zor::crypto
