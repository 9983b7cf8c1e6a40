#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/gost89.h"
#include "crypto/gost89_imit.h"
#include "crypto/magma.h"
#include "engine_oracle.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

const uint32_t kKey[8] = {0x01234567, 0x89abcdef, 0xfedcba98, 0x76543210,
                          0x0f1e2d3c, 0x4b5a6978, 0x8796a5b4, 0xc3d2e1f0};

TEST(Gost89Imit, PartialBlockIsZeroPadded) {
  uint8_t data[24];
  for (int i = 0; i < 24; ++i) data[i] = uint8_t(0xA0 + i);
  for (uint32_t len : {1u, 7u, 9u, 13u, 23u}) {
    uint8_t padded[24] = {};
    std::memcpy(padded, data, len);
    const uint32_t whole = (len + 7) & ~7u;
    EXPECT_EQ(ImPrefix(bukuz, kKey, data, len), ImPrefix(bukuz, kKey, padded, whole)) << len;
  }
}

TEST(Gost89Imit, ResultIsTheLowHalfOfTheStoredValue) {
  const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint32_t r = ImPrefix(bukuz, kKey, data, 16);
  uint32_t low;
  std::memcpy(&low, impref, 4);
  EXPECT_EQ(r, low);
  EXPECT_EQ(r, ImPrefixMAGMAStoreLO());
  // The value depends on the table, the key and every block.
  EXPECT_NE(r, ImPrefix(randomizeruz, kKey, data, 16));
  uint32_t other_key[8];
  std::memcpy(other_key, kKey, sizeof other_key);
  other_key[7] ^= 1;
  EXPECT_NE(r, ImPrefix(bukuz, other_key, data, 16));
  uint8_t changed[16];
  std::memcpy(changed, data, 16);
  changed[0] ^= 0x80;
  EXPECT_NE(r, ImPrefix(bukuz, kKey, changed, 16));
}

TEST(Gost89Imit, NoDataGivesZero) {
  std::memset(impref, 0xAB, 8);
  EXPECT_EQ(ImPrefix(bukuz, kKey, nullptr, 0), 0u);
  EXPECT_EQ(to_hex(impref, 8), "0000000000000000");
}

// EncipherData8 over IV and plaintext; the enciphered bytes after the IV.
Bytes our_cfb(const UzTable4K *table, const Bytes &key, const Bytes &iv, const Bytes &plain) {
  uint32_t words[8];
  zor::crypto::load_key_le(words, key.data());
  Bytes buf(iv);
  buf.insert(buf.end(), plain.begin(), plain.end());
  EncipherData8(table, words, buf.data(), uint32_t(buf.size()));
  return Bytes(buf.begin() + 8, buf.end());
}

TEST(Gost89, CfbMatchesTheEngineUnderParamZ) {
  if (!GostEngine::get())
    GTEST_SKIP() << kNoGostProvider;
  std::mt19937 rng(2814789);
  for (size_t len : {1u, 7u, 8u, 9u, 63u, 64u, 100u, 511u, 1000u, 1016u}) {
    const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8), plain = random_bytes(rng, len);
    const Bytes engine = engine_gost89_cfb(key.data(), iv.data(), plain.data(), len);
    ASSERT_EQ(engine.size(), len) << "the engine refused gost89";
    EXPECT_EQ(to_hex(our_cfb(randomizeruz, key, iv, plain)), to_hex(engine)) << "length " << len;
  }
}

TEST(Gost89, CfbUnderTheTestParameterSetMatchesTheEngine) {
  // bukuz, the table of the buffer routines and of the key record's check
  // value, against the engine's id-Gost28147-89-TestParamSet.
  std::mt19937 rng(4357);
  const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8), plain = random_bytes(rng, 333);
  const Bytes engine = engine_cli_gost89_cfb("id-Gost28147-89-TestParamSet", key.data(), iv.data(), plain);
  if (engine.empty()) GTEST_SKIP() << "the openssl command with the provider \"gostprov\" is not usable here";
  EXPECT_EQ(to_hex(our_cfb(bukuz, key, iv, plain)), to_hex(engine));
}

TEST(Gost89Imit, MatchesTheEngineUnderParamZ) {
  if (!GostEngine::get())
    GTEST_SKIP() << kNoGostProvider;
  std::mt19937 rng(2814790);
  for (size_t len : {9u, 15u, 16u, 17u, 100u, 512u, 1000u, 1023u}) {
    const Bytes key = random_bytes(rng, 32), data = random_bytes(rng, len);
    uint32_t words[8];
    zor::crypto::load_key_le(words, key.data());
    const uint32_t ours = ImPrefix(randomizeruz, words, data.data(), uint32_t(len));
    const Bytes engine = engine_gost89_mac(key.data(), data.data(), len);
    ASSERT_EQ(engine.size(), 4u) << "the engine refused gost-mac-12";
    EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t *>(&ours), 4), to_hex(engine)) << "length " << len;
  }
}

}  // namespace
