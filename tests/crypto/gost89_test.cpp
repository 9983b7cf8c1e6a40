#include <gtest/gtest.h>

#include <cstring>

#include "crypto/gost89.h"
#include "crypto/magma.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

uint64_t le(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

TEST(Gost89, ExpandedTablesAreReadyAtLoadAndMatchMakeuz4k) {
  // The pointers work before anyone expands a table.
  EXPECT_EQ(randomizeruz, &f2009uz);
  EXPECT_EQ(bukuz, &domuz);
  const struct {
    const uint8_t *source;
    const UzTable4K *table;
  } cases[] = {{f2009uz_v, &f2009uz}, {domuz_v, &domuz}};
  for (const auto &c : cases) {
    UzTable4K built;
    std::memset(&built, 0xA5, sizeof built);
    MAKEUZ4K(&built, c.source);
    EXPECT_EQ(std::memcmp(&built, c.table, sizeof built), 0);
    // Every row of the source is a permutation of 0..15.
    for (int k = 0; k < 8; ++k) {
      uint32_t seen = 0;
      for (int v = 0; v < 16; ++v) seen |= 1u << c.source[16 * k + v];
      EXPECT_EQ(seen, 0xFFFFu) << "row " << k;
    }
  }
  EXPECT_EQ(std::memcmp(&f2009uz, &MAGMA_sbox_4k, sizeof(UzTable4K)), 0);
  EXPECT_NE(std::memcmp(&domuz, &f2009uz, sizeof(UzTable4K)), 0);
}

TEST(Gost89, BlockFunctionsInvertUnderEitherTable) {
  const uint32_t key[8] = {0x01234567, 0x89abcdef, 0xdeadbeef, 0x0badf00d,
                           0x11111111, 0x22222222, 0x33333333, 0x44444444};
  const uint8_t plain[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t a[8], b[8];
  gostcrypt(bukuz, key, plain, a);
  gostcrypt(randomizeruz, key, plain, b);
  EXPECT_NE(std::memcmp(a, b, 8), 0) << "the two tables give different ciphers";
  gostdecrypt(bukuz, key, a, a);
  EXPECT_EQ(std::memcmp(a, plain, 8), 0);
  // Under param-Z the key words are Magma's.
  EXPECT_EQ(le(b), magmaencrypt_ni(le(plain), key));
}

TEST(Gost89, CfbInPlaceWithIvInFront) {
  const uint32_t key[8] = {0xffeeddcc, 0xbbaa9988, 0x77665544, 0x33221100,
                           0xf0f1f2f3, 0xf4f5f6f7, 0xf8f9fafb, 0xfcfdfeff};
  for (uint32_t len : {1u, 8u, 9u, 15u, 16u, 17u, 40u, 43u}) {
    Bytes buf(len + 8, 0);
    for (uint32_t i = 0; i < len; ++i) buf[i] = uint8_t(i * 7 + 3);
    const Bytes orig = buf;
    EncipherData8(randomizeruz, key, buf.data(), len);
    // IV untouched, nothing past len written.
    EXPECT_EQ(std::memcmp(buf.data(), orig.data(), len < 8 ? len : 8), 0) << len;
    for (size_t i = len; i < buf.size(); ++i) EXPECT_EQ(buf[i], orig[i]) << len;
    // C(i) = P(i) ^ E(C(i-1)), C(0) the IV; a partial block takes the first bytes.
    uint64_t feedback = le(orig.data());
    for (uint32_t off = 8; off < len; off += 8) {
      const uint64_t ks = magmaencrypt_ni(feedback, key);
      const uint32_t n = len - off < 8 ? len - off : 8;
      for (uint32_t j = 0; j < n; ++j)
        EXPECT_EQ(buf[off + j], uint8_t(orig[off + j] ^ (ks >> (8 * j)))) << len << "@" << off + j;
      if (n == 8) feedback = le(buf.data() + off);
    }
  }
  EncipherData8(bukuz, key, nullptr, 100);  // no buffer: nothing happens
}
