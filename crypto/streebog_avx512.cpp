// Streebog's compression on AVX-512 with GFNI: the whole 512-bit state in one
// register. S is a 256-entry byte lookup (two 128-entry VPERMI2B and a blend
// on the top bit). l is linear over GF(2): output byte o of a word is the XOR
// over the word's input bytes i of an 8x8 bit matrix A(i,o) applied to byte i,
// which GF2P8AFFINEQB applies with one matrix per 64-bit lane. Lane L of the
// r-th product holds A((L + r) mod 8, L) applied to the state rotated by r
// lanes, so the XOR of the eight products has, in lane o, byte o of every
// output word; one byte permutation then puts the bytes in place, which also
// performs the transposition P.
#include "crypto/simd.h"
#include "crypto/streebog_constants.h"

#define ZOR_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))

namespace zor::crypto::streebog {

namespace {

struct VectorTables {
  uint8_t pi[256];
  uint64_t matrix[8][8];  // [r][L] = A((L + r) mod 8, L) in GF2P8AFFINEQB's layout
  uint8_t place[64];      // byte o of output word j comes from byte j of lane o
};

// A(i,o) with row b (output bit b) in byte 7 - b; bit k of a row stands for
// input bit k.
constexpr uint64_t matrix_of(int i, int o) {
  uint64_t q = 0;
  for (int b = 0; b < 8; ++b) {
    uint64_t row = 0;
    for (int k = 0; k < 8; ++k) row |= ((kA[63 - 8 * i - k] >> (8 * o + b)) & 1) << k;
    q |= row << (8 * (7 - b));
  }
  return q;
}

constexpr VectorTables make_vector_tables() {
  VectorTables v{};
  for (int b = 0; b < 256; ++b) v.pi[b] = kPi[b];
  for (int r = 0; r < 8; ++r)
    for (int lane = 0; lane < 8; ++lane) v.matrix[r][lane] = matrix_of((lane + r) % 8, lane);
  for (int j = 0; j < 8; ++j)
    for (int o = 0; o < 8; ++o) v.place[8 * j + o] = uint8_t(8 * o + j);
  return v;
}

constexpr VectorTables kV = make_vector_tables();

struct Regs {
  __m512i pi[4], matrix[8], place;
};

ZOR_WIDE inline void load_regs(Regs &r) {
  for (int i = 0; i < 4; ++i) r.pi[i] = _mm512_loadu_si512(kV.pi + 64 * i);
  for (int i = 0; i < 8; ++i) r.matrix[i] = _mm512_loadu_si512(kV.matrix[i]);
  r.place = _mm512_loadu_si512(kV.place);
}

ZOR_WIDE inline __m512i lps(const Regs &r, __m512i x) {
  const __m512i lo = _mm512_permutex2var_epi8(r.pi[0], x, r.pi[1]);
  const __m512i hi = _mm512_permutex2var_epi8(r.pi[2], x, r.pi[3]);
  const __m512i s = _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi);
  const __m512i z0 = _mm512_gf2p8affine_epi64_epi8(s, r.matrix[0], 0);
  const __m512i z1 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 1), r.matrix[1], 0);
  const __m512i z2 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 2), r.matrix[2], 0);
  const __m512i z3 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 3), r.matrix[3], 0);
  const __m512i z4 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 4), r.matrix[4], 0);
  const __m512i z5 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 5), r.matrix[5], 0);
  const __m512i z6 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 6), r.matrix[6], 0);
  const __m512i z7 = _mm512_gf2p8affine_epi64_epi8(_mm512_alignr_epi64(s, s, 7), r.matrix[7], 0);
  const __m512i z = _mm512_xor_si512(_mm512_xor_si512(_mm512_xor_si512(z0, z1), _mm512_xor_si512(z2, z3)),
                                     _mm512_xor_si512(_mm512_xor_si512(z4, z5), _mm512_xor_si512(z6, z7)));
  return _mm512_permutexvar_epi8(r.place, z);
}

// h := E(LPS(h ^ n), m) ^ h ^ m.
ZOR_WIDE inline __m512i compress(const Regs &r, __m512i h, __m512i n, __m512i m) {
  __m512i k = lps(r, _mm512_xor_si512(h, n));
  __m512i t = _mm512_xor_si512(k, m);
  for (int i = 0; i < 12; ++i) {
    const __m512i s = lps(r, t);
    k = lps(r, _mm512_xor_si512(k, _mm512_loadu_si512(kC.c[i])));
    t = _mm512_xor_si512(s, k);
  }
  return _mm512_ternarylogic_epi64(t, h, m, 0x96);  // t ^ h ^ m
}

}  // namespace

ZOR_WIDE void absorb_avx512(uint64_t h[8], uint64_t n[8], uint64_t sigma[8], const uint8_t *p,
                            uint32_t blocks) {
  Regs r;
  load_regs(r);
  __m512i hv = _mm512_loadu_si512(h);
  const uint64_t block_bits[8] = {512, 0, 0, 0, 0, 0, 0, 0};
  for (; blocks--; p += 64) {
    const __m512i m = _mm512_loadu_si512(p);  // the words are little-endian
    hv = compress(r, hv, _mm512_loadu_si512(n), m);
    uint64_t words[8];
    _mm512_storeu_si512(words, m);
    add512(n, block_bits);
    add512(sigma, words);
  }
  _mm512_storeu_si512(h, hv);
}

}  // namespace zor::crypto::streebog
