// CMAC and OFB chains on AVX-512, one message per lane: every step gathers
// each lane's next block from its own message, runs the 32 rounds on all
// lanes at once and scatters or keeps the results. Lanes whose message is
// shorter stop taking blocks; their results were kept at their last step.
#include "crypto/magma_lanes.h"
#include "crypto/magma_wide_rounds.h"

namespace zor::crypto {

namespace {

using namespace wide;

// The per-lane state of kSets groups of 16 lanes: each 64-bit lane value in
// two registers of 8 (h = 0: lanes 0..7 of the group).
template <int kSets>
struct Lanes {
  __m512i addr[kSets][2], count[kSets][2];
  __mmask8 valid[kSets][2];
  uint32_t steps = 0;
};

template <int kSets>
ZOR_WIDE inline void load_lanes(Lanes<kSets> &l, const void *const ptrs[], const uint32_t counts[],
                                size_t n) {
  for (int s = 0; s < kSets; ++s) {
    masks(n > 16u * s ? n - 16u * s : 0, l.valid[s][0], l.valid[s][1]);
    for (int h = 0; h < 2; ++h) {
      const size_t base = 16u * s + 8u * h;
      l.addr[s][h] = _mm512_maskz_loadu_epi64(l.valid[s][h], ptrs + base);
      const __m512i c32 = _mm512_maskz_loadu_epi32(__mmask16(l.valid[s][h]), counts + base);
      l.count[s][h] = _mm512_cvtepu32_epi64(_mm512_castsi512_si256(c32));
    }
  }
  for (size_t j = 0; j < n; ++j)
    if (counts[j] + 1 > l.steps) l.steps = counts[j] + 1;
}

template <int kSets>
ZOR_WIDE void cbc_mac(const uint32_t key[8], const uint8_t *const data[], const uint32_t blocks[],
                      const uint64_t last[], uint64_t mac[], size_t n) {
  Ctx c;
  init(c, key);
  Lanes<kSets> l;
  load_lanes(l, reinterpret_cast<const void *const *>(data), blocks, n);
  __m512i lo[kSets], hi[kSets], fin[kSets][2];
  for (int s = 0; s < kSets; ++s) {
    lo[s] = hi[s] = _mm512_setzero_si512();
    for (int h = 0; h < 2; ++h)
      fin[s][h] = _mm512_maskz_loadu_epi64(l.valid[s][h], last + 16 * s + 8 * h);
  }
  const __m512i step = _mm512_set1_epi64(8);
  for (uint32_t i = 0; i < l.steps; ++i) {
    const __m512i at = _mm512_set1_epi64(i);
    __mmask8 end[kSets][2];
    for (int s = 0; s < kSets; ++s) {
      __m512i in[2];
      for (int h = 0; h < 2; ++h) {
        const __mmask8 take = _mm512_cmpgt_epu64_mask(l.count[s][h], at);
        end[s][h] = _mm512_cmpeq_epu64_mask(l.count[s][h], at) & l.valid[s][h];
        in[h] = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), take, l.addr[s][h], nullptr, 1);
        in[h] = _mm512_mask_mov_epi64(in[h], end[s][h], fin[s][h]);
        l.addr[s][h] = _mm512_add_epi64(l.addr[s][h], step);
      }
      __m512i ilo, ihi;
      split_regs(in[0], in[1], ilo, ihi);
      lo[s] = _mm512_xor_si512(lo[s], ilo);
      hi[s] = _mm512_xor_si512(hi[s], ihi);
    }
    rounds<kSets>(c, lo, hi);
    for (int s = 0; s < kSets; ++s) {
      // The rounds leave the halves swapped.
      const __m512i t = lo[s];
      lo[s] = hi[s];
      hi[s] = t;
      if (!(end[s][0] | end[s][1])) continue;
      __m512i a, b;
      join_regs(lo[s], hi[s], a, b);
      _mm512_mask_storeu_epi64(mac + 16 * s, end[s][0], a);
      _mm512_mask_storeu_epi64(mac + 16 * s + 8, end[s][1], b);
    }
  }
}

template <int kSets>
ZOR_WIDE void ofb(const uint32_t key[8], uint8_t *const data[], const uint32_t whole[],
                  const uint64_t iv[], uint64_t next[], size_t n) {
  Ctx c;
  init(c, key);
  Lanes<kSets> l;
  load_lanes(l, reinterpret_cast<const void *const *>(data), whole, n);
  __m512i lo[kSets], hi[kSets];
  for (int s = 0; s < kSets; ++s)
    split_regs(_mm512_maskz_loadu_epi64(l.valid[s][0], iv + 16 * s),
               _mm512_maskz_loadu_epi64(l.valid[s][1], iv + 16 * s + 8), lo[s], hi[s]);
  const __m512i step = _mm512_set1_epi64(8);
  for (uint32_t i = 0; i < l.steps; ++i) {
    rounds<kSets>(c, lo, hi);
    const __m512i at = _mm512_set1_epi64(i);
    for (int s = 0; s < kSets; ++s) {
      const __m512i t = lo[s];
      lo[s] = hi[s];
      hi[s] = t;
      __m512i ks[2];
      join_regs(lo[s], hi[s], ks[0], ks[1]);
      for (int h = 0; h < 2; ++h) {
        const __mmask8 take = _mm512_cmpgt_epu64_mask(l.count[s][h], at);
        const __mmask8 end = _mm512_cmpeq_epu64_mask(l.count[s][h], at) & l.valid[s][h];
        if (take) {
          const __m512i d =
              _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), take, l.addr[s][h], nullptr, 1);
          _mm512_mask_i64scatter_epi64(nullptr, take, l.addr[s][h], _mm512_xor_si512(d, ks[h]), 1);
        }
        if (end) _mm512_mask_storeu_epi64(next + 16 * s + 8 * h, end, ks[h]);
        l.addr[s][h] = _mm512_add_epi64(l.addr[s][h], step);
      }
    }
  }
}

}  // namespace

// The rounds of one step are a chain of dependent instructions: up to four
// groups of 16 lanes run interleaved to fill the time each step waits.
ZOR_WIDE void magma_cbc_mac_lanes_avx512(const uint32_t key[8], const uint8_t *const data[],
                                         const uint32_t blocks[], const uint64_t last[],
                                         uint64_t mac[], size_t n) {
  if (n > 48)
    cbc_mac<4>(key, data, blocks, last, mac, n);
  else if (n > 32)
    cbc_mac<3>(key, data, blocks, last, mac, n);
  else if (n > 16)
    cbc_mac<2>(key, data, blocks, last, mac, n);
  else if (n)
    cbc_mac<1>(key, data, blocks, last, mac, n);
}

ZOR_WIDE void magma_ofb_lanes_avx512(const uint32_t key[8], uint8_t *const data[],
                                     const uint32_t whole[], const uint64_t iv[], uint64_t next[],
                                     size_t n) {
  if (n > 48)
    ofb<4>(key, data, whole, iv, next, n);
  else if (n > 32)
    ofb<3>(key, data, whole, iv, next, n);
  else if (n > 16)
    ofb<2>(key, data, whole, iv, next, n);
  else if (n)
    ofb<1>(key, data, whole, iv, next, n);
}

}  // namespace zor::crypto
