// Magma on AVX-512: the low halves of 16 blocks in one register, their high
// halves in another. The substitution of each byte is two 64-entry byte
// permutations (VPERMB), one for the low and one for the high 4-bit groups:
// the byte's position within its word selects the 16-entry row.
#include "crypto/magma_blocks.h"
#include "crypto/sbox_sources.h"
#include "crypto/simd.h"

#define ZOR_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace zor::crypto {

namespace {

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
constexpr ByteRows kRows = make_rows();

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

ZOR_WIDE inline __m512i iota() {
  return _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Blocks [first, first + 16) of the counter sequence, split into halves.
ZOR_WIDE inline void counters(uint64_t start, CounterHalf half, size_t first, __m512i &lo,
                              __m512i &hi) {
  const __m512i fixed_lo = _mm512_set1_epi32(int(uint32_t(start)));
  const __m512i fixed_hi = _mm512_set1_epi32(int(uint32_t(start >> 32)));
  const __m512i offset = _mm512_add_epi32(iota(), _mm512_set1_epi32(int(uint32_t(first))));
  lo = half == CounterHalf::kLow ? _mm512_add_epi32(fixed_lo, offset) : fixed_lo;
  hi = half == CounterHalf::kHigh ? _mm512_add_epi32(fixed_hi, offset) : fixed_hi;
}

ZOR_WIDE inline void split(const uint64_t *in, __mmask8 m0, __mmask8 m1, __m512i &lo, __m512i &hi) {
  const __m512i a = _mm512_maskz_loadu_epi64(m0, in), b = _mm512_maskz_loadu_epi64(m1, in + 8);
  const __m512i even = _mm512_set_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
  lo = _mm512_permutex2var_epi32(a, even, b);
  hi = _mm512_permutex2var_epi32(a, _mm512_add_epi32(even, _mm512_set1_epi32(1)), b);
}

// After the rounds a block is lo << 32 | hi.
ZOR_WIDE inline void join(__m512i lo, __m512i hi, uint64_t *out, __mmask8 m0, __mmask8 m1) {
  const __m512i first = _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
  const __m512i second = _mm512_add_epi32(first, _mm512_set1_epi32(8));
  _mm512_mask_storeu_epi64(out, m0, _mm512_permutex2var_epi32(hi, first, lo));
  _mm512_mask_storeu_epi64(out + 8, m1, _mm512_permutex2var_epi32(hi, second, lo));
}

ZOR_WIDE inline void masks(size_t n, __mmask8 &m0, __mmask8 &m1) {
  m0 = n >= 8 ? 0xFF : __mmask8((1u << n) - 1);
  m1 = n >= 16 ? 0xFF : n <= 8 ? 0 : __mmask8((1u << (n - 8)) - 1);
}

// Where the blocks come from: the counter sequence, or an array (read with
// the same masks as the output is written).
struct CounterSource {
  uint64_t start;
  CounterHalf half;
  ZOR_WIDE void operator()(size_t first, __mmask8, __mmask8, __m512i &lo, __m512i &hi) const {
    counters(start, half, first, lo, hi);
  }
};

struct ArraySource {
  const uint64_t *in;
  ZOR_WIDE void operator()(size_t first, __mmask8 m0, __mmask8 m1, __m512i &lo, __m512i &hi) const {
    split(in + first, m0, m1, lo, hi);
  }
};

// out[i] = E(block i of source): 32 blocks in flight, then 16 at a time with
// the last group masked.
template <class Source>
ZOR_WIDE inline void encrypt_blocks(const uint32_t key[8], const Source &source, uint64_t *out,
                                    size_t n) {
  Ctx c;
  init(c, key);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m512i lo[2], hi[2];
    source(i, 0xFF, 0xFF, lo[0], hi[0]);
    source(i + 16, 0xFF, 0xFF, lo[1], hi[1]);
    rounds<2>(c, lo, hi);
    join(lo[0], hi[0], out + i, 0xFF, 0xFF);
    join(lo[1], hi[1], out + i + 16, 0xFF, 0xFF);
  }
  for (; i < n; i += 16) {
    __mmask8 m0, m1;
    masks(n - i, m0, m1);
    __m512i lo, hi;
    source(i, m0, m1, lo, hi);
    rounds<1>(c, &lo, &hi);
    join(lo, hi, out + i, m0, m1);
  }
}

}  // namespace

ZOR_WIDE void magma_counter_blocks_avx512(const uint32_t key[8], uint64_t start, CounterHalf half,
                                          uint64_t *out, size_t n) {
  encrypt_blocks(key, CounterSource{start, half}, out, n);
}

ZOR_WIDE void magma_ecb_blocks_avx512(const uint32_t key[8], const uint64_t *in, uint64_t *out,
                                      size_t n) {
  encrypt_blocks(key, ArraySource{in}, out, n);
}

}  // namespace zor::crypto
