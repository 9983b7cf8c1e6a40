// Field arithmetic against OpenSSL's BIGNUM on edge values and random ones,
// for both reductions: through 2^256 = c (paramSetA's prime) and Montgomery
// (the prime of RFC 7091's example curve).
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/fp256.h"
#include "test_bytes.h"

using namespace zor::crypto;

namespace {

std::string hex_of(const U256 &v) {
  uint8_t b[32];
  store_le(b, v);
  return zor::test::to_hex(b, 32);
}

BIGNUM *bn(const U256 &v) {
  uint8_t b[32];
  store_le(b, v);
  return BN_lebin2bn(b, 32, nullptr);
}

U256 from_bn(const BIGNUM *x) {
  uint8_t b[32];
  BN_bn2lebinpad(x, b, 32);
  return load_le(b);
}

U256 minus(const U256 &p, uint64_t k) {
  U256 r{};
  sub_raw(r, p, U256{{k, 0, 0, 0}});
  return r;
}

void check_field(const char *p_hex) {
  const U256 p = from_hex(p_hex);
  const MontField f = make_field(p);
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *bp = bn(p), *r = BN_new();
  std::vector<U256> values = {U256{{0, 0, 0, 0}}, U256{{1, 0, 0, 0}}, U256{{2, 0, 0, 0}}, minus(p, 1),
                              minus(p, 2), U256{{0, 0, 0, 1ull << 63}}, U256{{~0ull, ~0ull, 0, 0}}};
  std::mt19937_64 rng(256);
  for (int i = 0; i < 40; ++i) {
    U256 v{{rng(), rng(), rng(), rng()}};
    while (!less_than(v, p)) v.w[3] >>= 1;
    values.push_back(v);
  }
  for (const U256 &a : values)
    for (const U256 &b : values) {
      BIGNUM *ba = bn(a), *bb = bn(b);
      BN_mod_mul(r, ba, bb, bp, ctx);
      const U256 prod = from_mont(f, fmul(f, to_mont(f, a), to_mont(f, b)));
      ASSERT_EQ(hex_of(prod), hex_of(from_bn(r))) << hex_of(a) << " * " << hex_of(b);
      BN_mod_add(r, ba, bb, bp, ctx);
      ASSERT_EQ(hex_of(fadd(f, a, b)), hex_of(from_bn(r)));
      BN_mod_sub(r, ba, bb, bp, ctx);
      ASSERT_EQ(hex_of(fsub(f, a, b)), hex_of(from_bn(r)));
      BN_free(ba);
      BN_free(bb);
    }
  // Inverses.
  for (size_t i = 1; i < values.size(); ++i) {
    const U256 inv = from_mont(f, finv(f, to_mont(f, values[i])));
    const U256 one = from_mont(f, fmul(f, to_mont(f, inv), to_mont(f, values[i])));
    EXPECT_EQ(hex_of(one), hex_of(U256{{1, 0, 0, 0}})) << hex_of(values[i]);
  }
  BN_free(bp);
  BN_free(r);
  BN_CTX_free(ctx);
}

TEST(Fp256, ReductionThroughTheSpecialFormOfThePrime) {
  check_field("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97");
}

TEST(Fp256, MontgomeryReduction) {
  check_field("8000000000000000000000000000000000000000000000000000000000000431");
}

}  // namespace
