#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/kdf.h"
#include "engine_oracle.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

// RFC 7836 appendix A: key 00 01 .. 1f, label 26 bd b8 78, seed af 21 43 41 45 65 63 78.
std::vector<uint8_t> key() {
  std::vector<uint8_t> k(32);
  for (int i = 0; i < 32; ++i) k[i] = uint8_t(i);
  return k;
}
const std::vector<uint8_t> kLabel = hex("26bdb878");
const std::vector<uint8_t> kSeed = hex("af21434145656378");

TEST(HmacStreebog256, LongKeyIsHashedFirst) {
  // A key of more than one block acts as its own digest.
  std::vector<uint8_t> long_key(100, 0x5a);
  uint8_t digest[32];
  Hash3411Ctx h;
  Hash3411Open(&h);
  Hash3411(&h, long_key.data(), 100);
  Hash3411Close(&h, digest);
  const char msg[] = "message";
  uint8_t a[32], b[32];
  HMAC_GOSTR3411_2012_256(long_key.data(), 100, msg, 7, a);
  HMAC_GOSTR3411_2012_256(digest, 32, msg, 7, b);
  EXPECT_EQ(to_hex(a, 32), to_hex(b, 32));
}

TEST(HmacStreebog256, MatchesTheEngineOnRandomKeysAndData) {
  if (!GostEngine::get())
    GTEST_SKIP() << kNoGostProvider;
  std::mt19937 rng(7836);
  for (size_t key_len : {0u, 1u, 32u, 63u, 64u, 65u, 100u, 200u}) {
    const size_t data_len = rng() % 300;
    const Bytes k = random_bytes(rng, key_len), data = random_bytes(rng, data_len);
    uint8_t tag[32];
    HMAC_GOSTR3411_2012_256(k.data(), uint32_t(key_len), data.data(), uint32_t(data.size()), tag);
    EXPECT_EQ(to_hex(tag, 32), to_hex(engine_hmac_streebog256(k.data(), key_len, data.data(), data.size())))
        << "key length " << key_len;
  }
}

TEST(KdfTree256, LengthEntersEveryBlock) {
  // The first 32 bytes of a 64-byte output are not those of a 32-byte output,
  // and a 33-byte request is its own derivation, not a prefix of the 64-byte one.
  std::vector<uint8_t> o32(32), o33(33), o64(64);
  KDF_TREE_GOSTR3411_2012_256(key().data(), kLabel.data(), 4, kSeed.data(), 8, o32.data(), 32);
  KDF_TREE_GOSTR3411_2012_256(key().data(), kLabel.data(), 4, kSeed.data(), 8, o33.data(), 33);
  KDF_TREE_GOSTR3411_2012_256(key().data(), kLabel.data(), 4, kSeed.data(), 8, o64.data(), 64);
  EXPECT_NE(to_hex(o32.data(), 32), to_hex(o64.data(), 32));
  EXPECT_NE(to_hex(o33.data(), 32), to_hex(o64.data(), 32));
  // 33 bytes: L = 264 = 01 08.
  uint8_t first[32];
  const std::vector<uint8_t> msg = hex("0126bdb87800af21434145656378" "0108");
  HMAC_GOSTR3411_2012_256(key().data(), 32, msg.data(), uint32_t(msg.size()), first);
  EXPECT_EQ(to_hex(o33.data(), 32), to_hex(first, 32));
}

TEST(KdfTree256, EmptySeedAndLabelAndBadLengths) {
  std::vector<uint8_t> out(32, 0xEE);
  EXPECT_EQ(KDF_TREE_GOSTR3411_2012_256(key().data(), nullptr, 0, nullptr, 0, out.data(), 32), 0u);
  uint8_t expect[32];
  const std::vector<uint8_t> msg = hex("01000100");
  HMAC_GOSTR3411_2012_256(key().data(), 32, msg.data(), 4, expect);
  EXPECT_EQ(to_hex(out), to_hex(expect, 32));
  std::vector<uint8_t> untouched(8, 0xEE);
  EXPECT_EQ(KDF_TREE_GOSTR3411_2012_256(key().data(), nullptr, 0, nullptr, 0, untouched.data(), 0), 1u);
  EXPECT_EQ(KDF_TREE_GOSTR3411_2012_256(key().data(), nullptr, 0, nullptr, 0, untouched.data(),
                                        KDF_TREE_MAX_OUT + 1),
            1u);
  EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0xEE));
  std::vector<uint8_t> longest(KDF_TREE_MAX_OUT);
  EXPECT_EQ(KDF_TREE_GOSTR3411_2012_256(key().data(), nullptr, 0, nullptr, 0, longest.data(),
                                        KDF_TREE_MAX_OUT),
            0u);
}

}  // namespace
