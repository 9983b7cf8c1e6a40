// The library against Debian's GOST engine on random inputs.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/gost3410.h"
#include "crypto/gost89.h"
#include "crypto/gost89_imit.h"
#include "crypto/streebog.h"
#include "tests/crypto/engine_oracle.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

#define REQUIRE_PROVIDER() \
  if (!oracle::provider_loaded()) GTEST_SKIP() << "GOST provider \"gostprov\" cannot be loaded (package libengine-gost-openssl)"
#define REQUIRE_ENGINE() \
  if (!oracle::gost_engine()) GTEST_SKIP() << "GOST engine \"gost\" cannot be loaded (package libengine-gost-openssl)"

TEST(EngineCrossCheck, Streebog256OnRandomLengths) {
  REQUIRE_PROVIDER();
  std::mt19937 rng(3411);
  std::vector<size_t> lengths = {0, 1, 31, 32, 63, 64, 65, 127, 128, 129, 1000, 4096, 65537};
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 3000);
  for (size_t len : lengths) {
    std::vector<uint8_t> msg(len);
    for (auto &b : msg) b = uint8_t(rng());
    Hash3411Ctx ctx;
    Hash3411Open(&ctx);
    // Feed in uneven pieces, as callers do.
    for (size_t at = 0; at < len;) {
      const size_t piece = std::min<size_t>(len - at, 1 + rng() % 1500);
      Hash3411(&ctx, msg.data() + at, uint32_t(piece));
      at += piece;
    }
    uint8_t ours[32];
    Hash3411Close(&ctx, ours);
    EXPECT_EQ(to_hex(ours, 32), to_hex(oracle::streebog256(msg.data(), len))) << "length " << len;
  }
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = uint8_t(rng());
  return v;
}

TEST(EngineCrossCheck, Gost89CfbUnderParamZ) {
  REQUIRE_PROVIDER();
  std::mt19937 rng(2814789);
  for (size_t len : {1u, 7u, 8u, 9u, 63u, 64u, 100u, 511u, 1000u, 1016u}) {
    const std::vector<uint8_t> key = random_bytes(rng, 32), iv = random_bytes(rng, 8),
                               plain = random_bytes(rng, len);
    uint32_t words[8];
    zor::crypto::load_key_le(words, key.data());
    std::vector<uint8_t> buf(iv);
    buf.insert(buf.end(), plain.begin(), plain.end());
    EncipherData8(randomizeruz, words, buf.data(), uint32_t(buf.size()));
    const std::vector<uint8_t> engine = oracle::gost89_cfb(key.data(), iv.data(), plain.data(), len);
    ASSERT_EQ(engine.size(), len) << "engine refused gost89";
    EXPECT_EQ(to_hex(buf.data() + 8, len), to_hex(engine)) << "length " << len;
  }
}

TEST(EngineCrossCheck, Gost89ImitationMacUnderParamZ) {
  REQUIRE_PROVIDER();
  std::mt19937 rng(2814790);
  for (size_t len : {9u, 15u, 16u, 17u, 100u, 512u, 1000u, 1023u}) {
    const std::vector<uint8_t> key = random_bytes(rng, 32), data = random_bytes(rng, len);
    uint32_t words[8];
    zor::crypto::load_key_le(words, key.data());
    const uint32_t ours = ImPrefix(randomizeruz, words, data.data(), uint32_t(len));
    const std::vector<uint8_t> engine = oracle::gost89_mac_param_z(key.data(), data.data(), len);
    ASSERT_EQ(engine.size(), 4u) << "engine refused gost-mac-12";
    EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t *>(&ours), 4), to_hex(engine)) << "length " << len;
  }
}

TEST(EngineCrossCheck, ParamSetAPublicKeysAndSharedPoint) {
  REQUIRE_ENGINE();
  const R3410_256_Params *a = R34101_SelectParams(R3410_PARAMSET_256_A);
  for (int round = 0; round < 4; ++round) {
    oracle::KeyPair k1, k2;
    ASSERT_TRUE(oracle::generate_key(k1) && oracle::generate_key(k2)) << "engine key generation failed";
    uint8_t pub[64];
    ASSERT_EQ(R3410_256_PubKey(a, pub, k1.priv.data()), 0u);
    EXPECT_EQ(to_hex(pub, 64), to_hex(k1.pub));
    uint8_t s12[32], s21[32];
    ASSERT_EQ(R3410_256_ECDHE(a, s12, k1.priv.data(), k2.pub.data(), 64), 0u);
    ASSERT_EQ(R3410_256_ECDHE(a, s21, k2.priv.data(), k1.pub.data(), 64), 0u);
    EXPECT_EQ(to_hex(s12, 32), to_hex(oracle::shared_x(k1, k2)));
    EXPECT_EQ(to_hex(s21, 32), to_hex(s12, 32));
  }
}

}  // namespace
