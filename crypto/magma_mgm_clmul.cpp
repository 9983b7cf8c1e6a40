// The MGM vector path: counter and hash-key blocks enciphered many at a
// time (on AVX-512 where the processor has it), products by carry-less
// multiplication summed unreduced and reduced once at the end.
#include "crypto/cpu_features.h"
#include "crypto/magma_blocks.h"
#include "crypto/magma_mgm.h"
#include "crypto/mgm_blocks.h"
#include "crypto/simd.h"

#define ZOR_CLMUL __attribute__((target("pclmul,ssse3")))

using namespace zor::crypto;

namespace {

constexpr uint32_t kChunkBlocks = 32;

// acc ^= a[i] * h[i] for i < n, 128-bit products without reduction.
ZOR_CLMUL __m128i clmul_sum(__m128i acc, const uint64_t *a, const uint64_t *h, uint32_t n) {
  uint32_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h + i));
    acc = _mm_xor_si128(acc, _mm_clmulepi64_si128(x, y, 0x00));
    acc = _mm_xor_si128(acc, _mm_clmulepi64_si128(x, y, 0x11));
  }
  if (i < n) {
    const __m128i x = _mm_cvtsi64_si128(int64_t(a[i])), y = _mm_cvtsi64_si128(int64_t(h[i]));
    acc = _mm_xor_si128(acc, _mm_clmulepi64_si128(x, y, 0x00));
  }
  return acc;
}

// hi:lo modulo x^64 + x^4 + x^3 + x + 1.
ZOR_CLMUL uint64_t reduce(__m128i acc) {
  const uint64_t lo = uint64_t(_mm_cvtsi128_si64(acc));
  const uint64_t hi = uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
  const uint64_t t = hi ^ (hi >> 60) ^ (hi >> 61) ^ (hi >> 63);
  return lo ^ t ^ (t << 1) ^ (t << 3) ^ (t << 4);
}

struct Run {
  const uint32_t *key;
  uint64_t y1, z1;
  bool wide;
};

ZOR_CLMUL __m128i hash_aad(const Run &run, const uint8_t *aad, uint32_t aadlen, __m128i acc) {
  uint64_t a[kChunkBlocks], h[kChunkBlocks];
  const uint32_t count = mgm_block_count(aadlen);
  for (uint32_t done = 0; done < count; done += kChunkBlocks) {
    const uint32_t n = count - done < kChunkBlocks ? count - done : kChunkBlocks;
    magma_counter_blocks(run.key, add_high(run.z1, done), CounterHalf::kHigh, h, n, run.wide);
    for (uint32_t i = 0; i < n; ++i) a[i] = mgm_block(aad, aadlen, done + i);
    acc = clmul_sum(acc, a, h, n);
  }
  return acc;
}

// Counter pass and hash of the ciphertext together, chunk by chunk.
ZOR_CLMUL __m128i crypt_data(const Run &run, uint32_t first_key, uint8_t *data, uint32_t len,
                             bool encrypt, __m128i acc) {
  uint64_t c[kChunkBlocks], h[kChunkBlocks], ks[kChunkBlocks];
  const uint32_t count = mgm_block_count(len);
  for (uint32_t done = 0; done < count; done += kChunkBlocks) {
    const uint32_t n = count - done < kChunkBlocks ? count - done : kChunkBlocks;
    magma_counter_blocks(run.key, add_low(run.y1, done), CounterHalf::kLow, ks, n, run.wide);
    magma_counter_blocks(run.key, add_high(run.z1, first_key + done), CounterHalf::kHigh, h, n,
                         run.wide);
    for (uint32_t i = 0; i < n; ++i) {
      if (!encrypt) c[i] = mgm_block(data, len, done + i);
      mgm_xor_block(data, len, done + i, ks[i]);
      if (encrypt) c[i] = mgm_block(data, len, done + i);
    }
    acc = clmul_sum(acc, c, h, n);
  }
  return acc;
}

}  // namespace

extern "C" ZOR_CLMUL void magmamgm_aead_128_sse(uint8_t *data, uint32_t len, const uint32_t key[8],
                                                const uint64_t *nonce, const uint8_t *aad,
                                                uint32_t aadlen, uint64_t *tag, uint32_t encrypt) {
  if (data == nullptr) len = 0;
  if (aad == nullptr) aadlen = 0;
  const uint64_t n = load_le64(reinterpret_cast<const uint8_t *>(nonce));
  const Run run{key, magmaencrypt_ni(n & ~kMgmTopBit, key), magmaencrypt_ni(n | kMgmTopBit, key),
                cpu_has_avx512_vbmi()};
  const uint32_t h = mgm_block_count(aadlen), q = mgm_block_count(len);
  __m128i acc = hash_aad(run, aad, aadlen, _mm_setzero_si128());
  acc = crypt_data(run, h, data, len, encrypt != 0, acc);
  const uint64_t lengths = mgm_length_block(aadlen, len);
  const uint64_t hlen = magmaencrypt_ni(add_high(run.z1, h + q), key);
  acc = clmul_sum(acc, &lengths, &hlen, 1);
  store_le64(reinterpret_cast<uint8_t *>(tag), magmaencrypt_ni(reduce(acc), key));
}
