// Arithmetic modulo an odd 256-bit prime p, four 64-bit limbs, least
// significant first. Elements are kept in Montgomery form (times R = 2^256),
// except for primes p = 2^256 - c with c below 2^63, which reduce faster
// through 2^256 = c and are kept as they are (R = 1 there). Every operation
// runs in the same time whatever the values (no branch or index depends on
// them; finv's exponent walk depends only on the public p). All functions are
// constexpr so that curve parameters can be built at compile time.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zor::crypto {

__extension__ typedef unsigned __int128 u128;

struct U256 {
  uint64_t w[4];
};

struct MontField {
  U256 p;
  uint64_t c;   // 2^256 - p when that is below 2^63, else 0 (Montgomery form)
  uint64_t n0;  // -p^-1 mod 2^64
  U256 r2;      // R^2 mod p
  U256 one;     // R mod p: 1 in the field's form
};

// The processor's subtract-with-borrow step; clang and gcc name it differently.
#if defined(__clang__)
#define ZOR_SUBBORROW_U64 __builtin_ia32_subborrow_u64
#else
#define ZOR_SUBBORROW_U64 __builtin_ia32_sbb_u64
#endif

// out = a + b (returns the carry) / a - b (returns the borrow), 256 bits: at
// run time on the processor's carry flag, at compile time (parameter sets)
// by comparisons.
constexpr uint64_t add_raw(U256 &out, const U256 &a, const U256 &b) {
  if (!__builtin_is_constant_evaluated()) {  // the processor's carry chain
    unsigned char c = 0;
    unsigned long long r;
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      c = __builtin_ia32_addcarryx_u64(c, a.w[i], b.w[i], &r);
      out.w[i] = r;
    }
    return c;
  }
  uint64_t carry = 0;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const uint64_t s = a.w[i] + b.w[i];
    const uint64_t r = s + carry;
    carry = uint64_t(s < a.w[i]) | uint64_t(r < s);
    out.w[i] = r;
  }
  return carry;
}
constexpr uint64_t sub_raw(U256 &out, const U256 &a, const U256 &b) {
  if (!__builtin_is_constant_evaluated()) {
    unsigned char c = 0;
    unsigned long long r;
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      c = ZOR_SUBBORROW_U64(c, a.w[i], b.w[i], &r);
      out.w[i] = r;
    }
    return c;
  }
  uint64_t borrow = 0;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const uint64_t d = a.w[i] - b.w[i];
    const uint64_t r = d - borrow;
    borrow = uint64_t(a.w[i] < b.w[i]) | uint64_t(d < borrow);
    out.w[i] = r;
  }
  return borrow;
}

// out = mask ? a : b, mask all ones or zero.
constexpr U256 select(uint64_t mask, const U256 &a, const U256 &b) {
  U256 r{};
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) r.w[i] = (a.w[i] & mask) | (b.w[i] & ~mask);
  return r;
}

constexpr void cswap(uint64_t mask, U256 &a, U256 &b) {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const uint64_t t = (a.w[i] ^ b.w[i]) & mask;
    a.w[i] ^= t;
    b.w[i] ^= t;
  }
}

// All ones when a is zero, else zero.
constexpr uint64_t zero_mask(const U256 &a) {
  const uint64_t any = a.w[0] | a.w[1] | a.w[2] | a.w[3];
  return ((any | (0 - any)) >> 63) - 1;
}

constexpr bool less_than(const U256 &a, const U256 &b) {
  U256 t{};
  return sub_raw(t, a, b) != 0;
}

// Inputs below p, results below p.
constexpr U256 fadd(const MontField &f, const U256 &a, const U256 &b) {
  U256 s{}, t{};
  const uint64_t carry = add_raw(s, a, b);
  const uint64_t borrow = sub_raw(t, s, f.p);
  return select(0 - (carry | (borrow ^ 1)), t, s);
}

constexpr U256 fsub(const MontField &f, const U256 &a, const U256 &b) {
  U256 d{}, t{};
  const uint64_t borrow = sub_raw(d, a, b);
  add_raw(t, d, f.p);
  return select(0 - borrow, t, d);
}

// a * b mod p for p = 2^256 - c: the 512-bit product's upper half times c
// is added to its lower half, twice, then p is subtracted once if needed.
constexpr U256 fmul_special(const MontField &f, const U256 &a, const U256 &b) {
  uint64_t t[8] = {};
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    uint64_t carry = 0;
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      const u128 s = u128(a.w[j]) * b.w[i] + t[i + j] + carry;
      t[i + j] = uint64_t(s);
      carry = uint64_t(s >> 64);
    }
    t[i + 4] = carry;
  }
  uint64_t carry = 0;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const u128 s = u128(t[i + 4]) * f.c + t[i] + carry;
    t[i] = uint64_t(s);
    carry = uint64_t(s >> 64);
  }
  // carry < 2^63: once more; a carry out of that leaves a small value to
  // which c is added without overflow.
  U256 r{{t[0], t[1], t[2], t[3]}};
  const u128 top = u128(carry) * f.c;
  const uint64_t over = add_raw(r, r, U256{{uint64_t(top), uint64_t(top >> 64), 0, 0}});
  add_raw(r, r, U256{{f.c & (0 - over), 0, 0, 0}});
  U256 d{};
  const uint64_t borrow = sub_raw(d, r, f.p);
  return select(borrow - 1, d, r);
}

// a * b / R mod p (the product in the field's form).
constexpr U256 fmul(const MontField &f, const U256 &a, const U256 &b) {
  if (f.c) return fmul_special(f, a, b);
  uint64_t t[6] = {};
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    uint64_t c = 0;
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      const u128 s = u128(a.w[j]) * b.w[i] + t[j] + c;
      t[j] = uint64_t(s);
      c = uint64_t(s >> 64);
    }
    u128 s = u128(t[4]) + c;
    t[4] = uint64_t(s);
    t[5] = uint64_t(s >> 64);
    const uint64_t m = t[0] * f.n0;
    s = u128(m) * f.p.w[0] + t[0];
    c = uint64_t(s >> 64);
#pragma GCC unroll 3
    for (int j = 1; j < 4; ++j) {
      s = u128(m) * f.p.w[j] + t[j] + c;
      t[j - 1] = uint64_t(s);
      c = uint64_t(s >> 64);
    }
    s = u128(t[4]) + c;
    t[3] = uint64_t(s);
    t[4] = t[5] + uint64_t(s >> 64);
  }
  const U256 r{{t[0], t[1], t[2], t[3]}};
  U256 d{};
  const uint64_t borrow = sub_raw(d, r, f.p);
  return select(0 - (t[4] | (borrow ^ 1)), d, r);
}

constexpr U256 to_mont(const MontField &f, const U256 &a) { return fmul(f, a, f.r2); }
constexpr U256 from_mont(const MontField &f, const U256 &a) { return fmul(f, a, U256{{1, 0, 0, 0}}); }

// a^(p-2) = 1/a (0 for a = 0).
constexpr U256 finv(const MontField &f, const U256 &a) {
  U256 e{};
  sub_raw(e, f.p, U256{{2, 0, 0, 0}});
  U256 r = f.one;
  for (int bit = 255; bit >= 0; --bit) {
    r = fmul(f, r, r);
    if ((e.w[bit / 64] >> (bit % 64)) & 1) r = fmul(f, r, a);
  }
  return r;
}

constexpr MontField make_field(const U256 &p) {
  MontField f{};
  f.p = p;
  if ((p.w[1] & p.w[2] & p.w[3]) == ~0ull && p.w[0] > (1ull << 63)) {
    f.c = 0 - p.w[0];
    f.one = f.r2 = U256{{1, 0, 0, 0}};
    return f;
  }
  uint64_t inv = 1;  // Newton's iteration for p^-1 mod 2^64
  for (int i = 0; i < 6; ++i) inv *= 2 - p.w[0] * inv;
  f.n0 = 0 - inv;
  U256 x{{1, 0, 0, 0}};  // doubled 512 times mod p: R^2 mod p
  for (int i = 0; i < 512; ++i) {
    x = fadd(f, x, x);
    if (i == 255) f.one = x;
  }
  f.r2 = x;
  return f;
}

constexpr U256 load_le(const uint8_t *p) {
  U256 r{};
  for (int i = 0; i < 32; ++i) r.w[i / 8] |= uint64_t(p[i]) << (8 * (i % 8));
  return r;
}

constexpr void store_le(uint8_t *p, const U256 &a) {
  for (int i = 0; i < 32; ++i) p[i] = uint8_t(a.w[i / 8] >> (8 * (i % 8)));
}

// A number printed as 64 hex digits, most significant first.
constexpr U256 from_hex(const char *hex) {
  U256 r{};
  for (int i = 0; i < 64; ++i) {
    const char c = hex[i];
    const uint64_t d = c <= '9' ? uint64_t(c - '0') : uint64_t((c | 0x20) - 'a' + 10);
    const int nibble = 63 - i;
    r.w[nibble / 16] |= d << (4 * (nibble % 16));
  }
  return r;
}

}  // namespace zor::crypto
