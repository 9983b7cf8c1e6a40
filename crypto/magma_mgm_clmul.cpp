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

// Messages of magmamgm_aead_many taken together, and the associated-data
// blocks whose hash keys go with the others (longer data hashes as one
// message would).
constexpr uint32_t kManyMax = 32;
constexpr uint32_t kAadKeysMax = 4;

ZOR_CLMUL __m128i hash_with_keys(const uint8_t *aad, uint32_t aadlen, const uint64_t *keys,
                                 __m128i acc) {
  uint64_t a[kAadKeysMax];
  const uint32_t h = mgm_block_count(aadlen);
  for (uint32_t i = 0; i < h; ++i) a[i] = mgm_block(aad, aadlen, i);
  return clmul_sum(acc, a, keys, h);
}

ZOR_CLMUL void many_group(const uint32_t key[8], MgmMessage *m, uint32_t g, bool encrypt,
                          bool wide) {
  // The nonces: Y1 and Z1 of every message.
  uint64_t yz[2 * kManyMax];
  for (uint32_t j = 0; j < g; ++j) {
    yz[2 * j] = m[j].nonce & ~kMgmTopBit;
    yz[2 * j + 1] = m[j].nonce | kMgmTopBit;
  }
  magma_ecb_blocks(key, yz, yz, 2 * g, wide);
  // The hash keys of short associated data and of the length block.
  uint64_t keys[kManyMax * (kAadKeysMax + 1)];
  uint32_t at[kManyMax], count = 0;
  for (uint32_t j = 0; j < g; ++j) {
    const uint32_t h = mgm_block_count(m[j].aadlen), q = mgm_block_count(m[j].len);
    at[j] = count;
    if (h <= kAadKeysMax)
      for (uint32_t i = 0; i < h; ++i) keys[count++] = add_high(yz[2 * j + 1], i);
    keys[count++] = add_high(yz[2 * j + 1], h + q);
  }
  magma_ecb_blocks(key, keys, keys, count, wide);
  uint64_t sums[kManyMax];
  for (uint32_t j = 0; j < g; ++j) {
    const Run run{key, yz[2 * j], yz[2 * j + 1], wide};
    const uint32_t h = mgm_block_count(m[j].aadlen);
    const bool short_aad = h <= kAadKeysMax;
    __m128i acc = short_aad ? hash_with_keys(m[j].aad, m[j].aadlen, keys + at[j], _mm_setzero_si128())
                            : hash_aad(run, m[j].aad, m[j].aadlen, _mm_setzero_si128());
    acc = crypt_data(run, h, m[j].data, m[j].len, encrypt, acc);
    const uint64_t lengths = mgm_length_block(m[j].aadlen, m[j].len);
    acc = clmul_sum(acc, &lengths, &keys[at[j] + (short_aad ? h : 0)], 1);
    sums[j] = reduce(acc);
  }
  magma_ecb_blocks(key, sums, sums, g, wide);
  for (uint32_t j = 0; j < g; ++j) m[j].tag = sums[j];
}

}  // namespace

extern "C" ZOR_CLMUL void magmamgm_aead_many_sse(const uint32_t key[8], MgmMessage *msgs,
                                                 uint32_t n, uint32_t encrypt) {
  const bool wide = cpu_has_avx512_vbmi();
  for (uint32_t j = 0; j < n; ++j) {
    if (msgs[j].data == nullptr) msgs[j].len = 0;
    if (msgs[j].aad == nullptr) msgs[j].aadlen = 0;
  }
  for (uint32_t first = 0; first < n; first += kManyMax)
    many_group(key, msgs + first, n - first < kManyMax ? n - first : kManyMax, encrypt != 0, wide);
}

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
