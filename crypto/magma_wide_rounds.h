// The Magma rounds on AVX-512, shared by the vector code: the low halves of
// 16 blocks in one register, their high halves in another. The substitution
// of each byte is two 64-entry byte permutations (VPERMB), one for the low
// and one for the high 4-bit groups: the byte's position within its word
// selects the 16-entry row. Included only by files whose functions carry
// ZOR_WIDE and run where cpu_has_avx512_vbmi() holds.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "crypto/sbox_sources.h"
#include "crypto/simd.h"

#define ZOR_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace zor::crypto::wide {

struct ByteRows {
  uint8_t low[64], high[64];
};

constexpr ByteRows make_rows() {
  ByteRows r{};
  for (int j = 0; j < 4; ++j)
    for (int v = 0; v < 16; ++v) {
      r.low[16 * j + v] = kSboxParamZ[16 * (2 * j) + v];
      r.high[16 * j + v] = uint8_t(kSboxParamZ[16 * (2 * j + 1) + v] << 4);
    }
  return r;
}
inline constexpr ByteRows kRows = make_rows();

struct Ctx {
  __m512i key[8], low_rows, high_rows, nibble, position;
};

ZOR_WIDE inline void init(Ctx &c, const uint32_t k[8]) {
  for (int i = 0; i < 8; ++i) c.key[i] = _mm512_set1_epi32(int(k[i]));
  c.low_rows = _mm512_loadu_si512(kRows.low);
  c.high_rows = _mm512_loadu_si512(kRows.high);
  c.nibble = _mm512_set1_epi8(0x0F);
  c.position = _mm512_set1_epi32(0x30201000);
}

// (a & b) | c
constexpr int kAndOr = 0xEA;

ZOR_WIDE inline __m512i g(const Ctx &c, __m512i x, __m512i k) {
  const __m512i t = _mm512_add_epi32(x, k);
  const __m512i lo_idx = _mm512_ternarylogic_epi32(t, c.nibble, c.position, kAndOr);
  const __m512i hi_idx =
      _mm512_ternarylogic_epi32(_mm512_srli_epi32(t, 4), c.nibble, c.position, kAndOr);
  const __m512i s = _mm512_or_si512(_mm512_permutexvar_epi8(lo_idx, c.low_rows),
                                    _mm512_permutexvar_epi8(hi_idx, c.high_rows));
  return _mm512_rol_epi32(s, 11);
}

// Two rounds on kSets groups of 16 blocks, interleaved.
template <int kSets>
ZOR_WIDE inline void two_rounds(const Ctx &c, __m512i *lo, __m512i *hi, int i, int j) {
  for (int s = 0; s < kSets; ++s) hi[s] = _mm512_xor_si512(hi[s], g(c, lo[s], c.key[i]));
  for (int s = 0; s < kSets; ++s) lo[s] = _mm512_xor_si512(lo[s], g(c, hi[s], c.key[j]));
}

template <int kSets>
ZOR_WIDE inline void rounds(const Ctx &c, __m512i *lo, __m512i *hi) {
  for (int pass = 0; pass < 3; ++pass)
    for (int i = 0; i < 8; i += 2) two_rounds<kSets>(c, lo, hi, i, i + 1);
  for (int i = 7; i > 0; i -= 2) two_rounds<kSets>(c, lo, hi, i, i - 1);
}

// 16 blocks in two registers of 8 (a: blocks 0..7) into their halves.
ZOR_WIDE inline void split_regs(__m512i a, __m512i b, __m512i &lo, __m512i &hi) {
  const __m512i even = _mm512_set_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
  lo = _mm512_permutex2var_epi32(a, even, b);
  hi = _mm512_permutex2var_epi32(a, _mm512_add_epi32(even, _mm512_set1_epi32(1)), b);
}

ZOR_WIDE inline void split(const uint64_t *in, __mmask8 m0, __mmask8 m1, __m512i &lo, __m512i &hi) {
  split_regs(_mm512_maskz_loadu_epi64(m0, in), _mm512_maskz_loadu_epi64(m1, in + 8), lo, hi);
}

// The blocks hi << 32 | lo of 16 halves, in two registers of 8.
ZOR_WIDE inline void join_regs(__m512i lo, __m512i hi, __m512i &a, __m512i &b) {
  const __m512i first = _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
  a = _mm512_permutex2var_epi32(lo, first, hi);
  b = _mm512_permutex2var_epi32(lo, _mm512_add_epi32(first, _mm512_set1_epi32(8)), hi);
}

// After the rounds a block is lo << 32 | hi.
ZOR_WIDE inline void join(__m512i lo, __m512i hi, uint64_t *out, __mmask8 m0, __mmask8 m1) {
  __m512i a, b;
  join_regs(hi, lo, a, b);
  _mm512_mask_storeu_epi64(out, m0, a);
  _mm512_mask_storeu_epi64(out + 8, m1, b);
}

ZOR_WIDE inline void masks(size_t n, __mmask8 &m0, __mmask8 &m1) {
  m0 = n >= 8 ? 0xFF : __mmask8((1u << n) - 1);
  m1 = n >= 16 ? 0xFF : n <= 8 ? 0 : __mmask8((1u << (n - 8)) - 1);
}

}  // namespace zor::crypto::wide
