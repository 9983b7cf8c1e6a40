// Many independent Magma blocks on AVX-512 (crypto/magma_wide_rounds.h).
#include "crypto/magma_blocks.h"
#include "crypto/magma_wide_rounds.h"

namespace zor::crypto {

namespace {

using namespace wide;

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
