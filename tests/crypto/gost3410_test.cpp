#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/gost3410.h"
#include "engine_oracle.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

const R3410_256_Params &param_set_a() { return *R34101_SelectParams(R3410_PARAMSET_256_A); }

std::vector<uint8_t> pub_key(const R3410_256_Params &c, const std::vector<uint8_t> &d) {
  std::vector<uint8_t> pub(64);
  EXPECT_EQ(R3410_256_PubKey(&c, pub.data(), d.data()), 0u);
  return pub;
}

TEST(Gost3410, SelectsOnlyParamSetA) {
  EXPECT_NE(R34101_SelectParams(1148), nullptr);
  for (uint32_t id : {0u, 1147u, 1149u, 0xFFFFFFFFu}) EXPECT_EQ(R34101_SelectParams(id), nullptr) << id;
}

TEST(Gost3410, ScalarsAreFull256BitValues) {
  // 2^256 - 1 and its remainder modulo q give the same multiple of G.
  const std::vector<uint8_t> all_ones(32, 0xFF);
  const std::vector<uint8_t> reduced = hex("cada5dbbfff1bebc5ecd8da6609675d0ffffffffffffffffffffffffffffff3f");
  EXPECT_EQ(pub_key(param_set_a(), all_ones), pub_key(param_set_a(), reduced));
}

TEST(Gost3410, EcdheIsCommutative) {
  std::mt19937_64 rng(20261210);
  for (int round = 0; round < 8; ++round) {
    const Bytes d1 = random_bytes(rng, 32), d2 = random_bytes(rng, 32);
    const std::vector<uint8_t> q1 = pub_key(param_set_a(), d1), q2 = pub_key(param_set_a(), d2);
    uint8_t s12[32], s21[32];
    ASSERT_EQ(R3410_256_ECDHE(&param_set_a(), s12, d1.data(), q2.data(), 64), 0u);
    ASSERT_EQ(R3410_256_ECDHE(&param_set_a(), s21, d2.data(), q1.data(), 64), 0u);
    EXPECT_EQ(to_hex(s12, 32), to_hex(s21, 32)) << "round " << round;
  }
}

TEST(Gost3410, EcdheOutputMayReplaceTheScalar) {
  std::vector<uint8_t> d1(32, 0x11), d2(32, 0x22);
  const std::vector<uint8_t> q2 = pub_key(param_set_a(), d2);
  uint8_t expect[32];
  ASSERT_EQ(R3410_256_ECDHE(&param_set_a(), expect, d1.data(), q2.data(), 64), 0u);
  ASSERT_EQ(R3410_256_ECDHE(&param_set_a(), d1.data(), d1.data(), q2.data(), 64), 0u);
  EXPECT_EQ(to_hex(d1), to_hex(expect, 32));
}

// A point of order 4q (on the curve, outside the subgroup of G): accepted,
// since the gateway's keys are used without cofactor multiplication.
const char *kFullOrderPoint =
    "457c769f39d8644199c0e5bdbcfbc85b37ce91cbde1fc1b0ea6b44f130436dd7"
    "69f30f8f5be37a1e8a12a016d0de353fbd22e277e6dc98a568dad0a9eefe2efa";

TEST(Gost3410, EcdheRefusesBadPeerKeys) {
  const std::vector<uint8_t> d(32, 0x5A);
  const std::vector<uint8_t> good = pub_key(param_set_a(), std::vector<uint8_t>(32, 0x33));
  std::vector<uint8_t> off_curve = good;
  off_curve[32] ^= 1;
  std::vector<uint8_t> not_canonical = good;  // x = p
  const std::vector<uint8_t> p = printed_le("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97");
  std::copy(p.begin(), p.end(), not_canonical.begin());
  struct Case {
    const char *name;
    std::vector<uint8_t> key;
    uint32_t len;
  };
  const std::vector<Case> cases = {
      {"63 bytes", good, 63},
      {"65 bytes", [&] { auto k = good; k.push_back(0); return k; }(), 65},
      {"off the curve", off_curve, 64},
      {"coordinate not below p", not_canonical, 64},
      {"all zero", std::vector<uint8_t>(64, 0), 64},
      {"order 2",
       hex("aa4aa1e7dc7530a67ec42a195cfe448758d978d4444b978e15ff95f573fe0001"
                "0000000000000000000000000000000000000000000000000000000000000000"),
       64},
      {"order 4",
       hex("77592f8c11c5e7acc09d6af3d1805dbc5393c3955d5ab43875003505c6807f7f"
                "caee715bcbb048f9bd26c0258a7de7ca0446b53ee7f0e255a0fe60f0ad7d8181"),
       64},
  };
  for (const Case &c : cases) {
    uint8_t out[32];
    memset(out, 0xEE, 32);
    EXPECT_EQ(R3410_256_ECDHE(&param_set_a(), out, d.data(), c.key.data(), c.len), 1u) << c.name;
    EXPECT_EQ(to_hex(out, 32), std::string(64, '0')) << c.name;
  }
  uint8_t out[32];
  EXPECT_EQ(R3410_256_ECDHE(&param_set_a(), out, d.data(), good.data(), 64), 0u);
  EXPECT_EQ(R3410_256_ECDHE(&param_set_a(), out, d.data(), hex(kFullOrderPoint).data(), 64), 0u);
  EXPECT_EQ(R3410_256_ECDHE(&param_set_a(), out, d.data(), nullptr, 64), 1u);
  EXPECT_EQ(R3410_256_ECDHE(nullptr, out, d.data(), good.data(), 64), 1u);
}

TEST(Gost3410, IdentityResultsAreRefused) {
  // Scalars 0 and q take G to the identity.
  const std::vector<uint8_t> zero(32, 0);
  const std::vector<uint8_t> q = printed_le("400000000000000000000000000000000FD8CDDFC87B6635C115AF556C360C67");
  std::vector<uint8_t> g = pub_key(param_set_a(), hex("01" + std::string(62, '0')));
  uint8_t out[32];
  EXPECT_EQ(R3410_256_ECDHE(&param_set_a(), out, zero.data(), g.data(), 64), 1u);
  EXPECT_EQ(R3410_256_ECDHE(&param_set_a(), out, q.data(), g.data(), 64), 1u);
  std::vector<uint8_t> pub(64, 0xEE);
  EXPECT_EQ(R3410_256_PubKey(&param_set_a(), pub.data(), q.data()), 1u);
  EXPECT_EQ(pub, std::vector<uint8_t>(64, 0));
  EXPECT_EQ(R3410_256_PubKey(nullptr, pub.data(), zero.data()), 1u);
}

TEST(Gost3410, MatchesTheEnginesKeysAndSharedPoints) {
  if (!GostKeyEngine::get())
    GTEST_SKIP() << kNoGostEngine;
  for (int round = 0; round < 4; ++round) {
    EngineKeyPair k1, k2;
    ASSERT_TRUE(k1.generate() && k2.generate()) << "engine key generation failed";
    uint8_t pub[64];
    ASSERT_EQ(R3410_256_PubKey(&param_set_a(), pub, k1.priv.data()), 0u);
    EXPECT_EQ(to_hex(pub, 64), to_hex(k1.pub));
    uint8_t s12[32], s21[32];
    ASSERT_EQ(R3410_256_ECDHE(&param_set_a(), s12, k1.priv.data(), k2.pub.data(), 64), 0u);
    ASSERT_EQ(R3410_256_ECDHE(&param_set_a(), s21, k2.priv.data(), k1.pub.data(), 64), 0u);
    EXPECT_EQ(to_hex(s12, 32), to_hex(k1.shared_x(k2)));
    EXPECT_EQ(to_hex(s21, 32), to_hex(s12, 32));
  }
}

}  // namespace
