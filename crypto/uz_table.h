// Expanded substitution tables of the 64-bit GOST block ciphers (GOST 28147-89
// and Magma) and the 32 rounds that run over them.
//
// A substitution source is 8 rows of 16 four-bit values, one value per byte:
// row k substitutes 4-bit group k of a 32-bit word (row 0 the least
// significant group). The expanded table holds four 256-entry tables T0..T3;
// Tj[b] substitutes byte j of the word and already carries the rotation by
// 11 bits, so one round function is g(x) = T0[x0] ^ T1[x1] ^ T2[x2] ^ T3[x3].
#pragma once
#include <stdint.h>

extern "C" {
typedef struct UzTable4K {
  uint32_t t[4][256];
} UzTable4K;

// The packed form of a substitution: 4-bit group k of w[x] is row k's value
// for input x.
typedef struct UzPacked {
  uint32_t w[16];
} UzPacked;
}

static_assert(sizeof(UzTable4K) == 4096 && sizeof(UzPacked) == 64);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "blocks are little-endian values");

namespace zor::crypto {

constexpr uint32_t rotl32(uint32_t x, int n) { return x << n | x >> (32 - n); }

// Fills the table from a substitution given as a lookup: sub(k, v) is row
// k's value for v. Entry j,b substitutes both 4-bit groups of byte b in byte
// position j of the word, then rotates by 11.
template <class Sub>
constexpr void uz_fill(UzTable4K &t, const Sub &sub) {
  for (int j = 0; j < 4; ++j)
    for (int b = 0; b < 256; ++b) {
      const uint32_t lo = sub(2 * j, b & 15) & 15u, hi = sub(2 * j + 1, b >> 4) & 15u;
      t.t[j][b] = rotl32((hi << 4 | lo) << (8 * j), 11);
    }
}

// From a 128-byte source of 8 rows x 16 values.
constexpr void uz_fill_rows(UzTable4K &t, const uint8_t *rows) {
  uz_fill(t, [rows](int k, int v) { return uint32_t(rows[16 * k + v]); });
}

// From the packed form.
constexpr void uz_fill_packed(UzTable4K &t, const UzPacked &p) {
  uz_fill(t, [&p](int k, int v) { return p.w[v] >> (4 * k); });
}

// The expansion of a 128-byte source, for tables built at compile time.
constexpr UzTable4K uz_expand(const uint8_t *rows) {
  UzTable4K t{};
  uz_fill_rows(t, rows);
  return t;
}

constexpr UzPacked uz_pack(const uint8_t *rows) {
  UzPacked p{};
  for (int v = 0; v < 16; ++v)
    for (int k = 0; k < 8; ++k) p.w[v] |= uint32_t(rows[16 * k + v] & 15u) << (4 * k);
  return p;
}

inline uint32_t uz_g(const UzTable4K &t, uint32_t x) {
  return t.t[0][x & 255] ^ t.t[1][(x >> 8) & 255] ^ t.t[2][(x >> 16) & 255] ^ t.t[3][x >> 24];
}

// Eight rounds on the halves of a block, the round keys k0..k7 in turn
// (forward) or k7..k0 (backward).
inline void uz_rounds_forward(const UzTable4K &t, const uint32_t k[8], uint32_t &lo, uint32_t &hi) {
  for (int i = 0; i < 8; i += 2) {
    hi ^= uz_g(t, lo + k[i]);
    lo ^= uz_g(t, hi + k[i + 1]);
  }
}

inline void uz_rounds_backward(const UzTable4K &t, const uint32_t k[8], uint32_t &lo, uint32_t &hi) {
  for (int i = 7; i > 0; i -= 2) {
    hi ^= uz_g(t, lo + k[i]);
    lo ^= uz_g(t, hi + k[i - 1]);
  }
}

// One block as a 64-bit value: low half the right half of the standards, high
// half the left. Key words k[0..7] are the round keys K1..K8. The round keys
// run k0..k7 three times, then k7..k0; the halves change places at the end.
inline uint64_t uz_encrypt(const UzTable4K &t, const uint32_t k[8], uint64_t v) {
  uint32_t lo = uint32_t(v), hi = uint32_t(v >> 32);
  for (int pass = 0; pass < 3; ++pass) uz_rounds_forward(t, k, lo, hi);
  uz_rounds_backward(t, k, lo, hi);
  return uint64_t(lo) << 32 | hi;
}

// The inverse: round keys k0..k7 once, then k7..k0 three times.
inline uint64_t uz_decrypt(const UzTable4K &t, const uint32_t k[8], uint64_t v) {
  uint32_t lo = uint32_t(v), hi = uint32_t(v >> 32);
  uz_rounds_forward(t, k, lo, hi);
  for (int pass = 0; pass < 3; ++pass) uz_rounds_backward(t, k, lo, hi);
  return uint64_t(lo) << 32 | hi;
}

// Unaligned little-endian loads and stores (the host is little-endian);
// __builtin_memcpy stays inline in the freestanding build too.
inline uint64_t load_le64(const uint8_t *p) {
  uint64_t v;
  __builtin_memcpy(&v, p, 8);
  return v;
}

inline void store_le64(uint8_t *p, uint64_t v) { __builtin_memcpy(p, &v, 8); }

inline uint32_t load_le32(const uint8_t *p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

inline uint32_t load_be32(const uint8_t *p) { return __builtin_bswap32(load_le32(p)); }

inline uint64_t bswap64(uint64_t v) { return __builtin_bswap64(v); }

// Reads a 32-byte key as eight little-endian words.
inline void load_key_le(uint32_t w[8], const uint8_t *key) {
  for (int i = 0; i < 8; ++i) w[i] = load_le32(key + 4 * i);
}

// Reads a key in the standard's byte order as eight words (big-endian groups).
inline void load_key_be(uint32_t w[8], const uint8_t *key) {
  for (int i = 0; i < 8; ++i) w[i] = load_be32(key + 4 * i);
}

}  // namespace zor::crypto
