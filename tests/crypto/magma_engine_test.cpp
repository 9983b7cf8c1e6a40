// Random keys, IVs and lengths through this library and through Debian's
// GOST provider for OpenSSL. The provider works in the standards' byte
// order: keys as published, blocks big-endian, the CTR IV the 4 bytes of the
// counter block's high half, and CTR-ACPKM with 1024-byte sections.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "crypto/magma.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_modes.h"
#include "tests/crypto/engine_oracle.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

class MagmaEngineCrossCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = GostEngine::get();
    if (!engine_)
      GTEST_SKIP() << kNoGostProvider;
  }

  Bytes random_bytes(size_t n) { return zor::test::random_bytes(rng_, n); }
  // Lengths of every remainder modulo 8, short and across ACPKM sections.
  size_t random_length() {
    const size_t limits[] = {24, 200, 3100};
    return rng_() % limits[rng_() % 3];
  }
  static Key words(const Bytes &standard_key) { return key_words(to_hex(standard_key)); }

  GostEngine *engine_ = nullptr;
  std::mt19937 rng_{20151};  // fixed: a failure can be replayed
};

constexpr int kRounds = 60;

}  // namespace

TEST_F(MagmaEngineCrossCheck, BlockCipherThroughCbcWithZeroIv) {
  const uint8_t zero_iv[8] = {};
  for (int r = 0; r < kRounds; ++r) {
    const Bytes key = random_bytes(32), block = random_bytes(8);
    Bytes theirs = block;
    ASSERT_TRUE(engine_->cipher(GostEngine::kCbc, key.data(), zero_iv, theirs.data(), 8));
    const uint64_t ours = magmaencrypt_ni(be64(to_hex(block)), words(key).w);
    EXPECT_EQ(ours, be64(to_hex(theirs))) << to_hex(key) << " " << to_hex(block);
  }
}

TEST_F(MagmaEngineCrossCheck, Ctr) {
  for (int r = 0; r < kRounds; ++r) {
    const Bytes key = random_bytes(32), iv = random_bytes(4), plain = random_bytes(random_length());
    Bytes theirs = plain, ours = plain;
    ASSERT_TRUE(engine_->cipher(GostEngine::kCtr, key.data(), iv.data(), theirs.data(), theirs.size()));
    const uint32_t iv_value = uint32_t(be64(to_hex(iv)));
    magma_ctr_msb(iv_value, words(key).w, ours.data(), int32_t(ours.size()));
    ASSERT_EQ(to_hex(ours), to_hex(theirs)) << "len " << plain.size();
    // The native form on whole blocks: every block reversed.
    const size_t whole = plain.size() / 8 * 8;
    Bytes native = reverse_groups(Bytes(plain.begin(), plain.begin() + whole), 8);
    magma_ctr(iv_value, 0, words(key).w, native.data(), int32_t(whole));
    ASSERT_EQ(to_hex(reverse_groups(native, 8)), to_hex(theirs.data(), whole));
  }
}

TEST_F(MagmaEngineCrossCheck, CtrAcpkm) {
  for (int r = 0; r < kRounds; ++r) {
    const Bytes key = random_bytes(32), iv = random_bytes(4);
    const Bytes plain = random_bytes(r < 8 ? 1024 * (r % 4 + 1) + r : random_length());
    Bytes theirs = plain, ours = plain;
    ASSERT_TRUE(
        engine_->cipher(GostEngine::kCtrAcpkm, key.data(), iv.data(), theirs.data(), theirs.size()));
    uint32_t iv_in_memory;
    std::memcpy(&iv_in_memory, iv.data(), 4);
    magma_ctracpkm_msb(iv_in_memory, key.data(), ours.data(), int32_t(ours.size()));
    ASSERT_EQ(to_hex(ours), to_hex(theirs)) << "len " << plain.size();
  }
}

TEST_F(MagmaEngineCrossCheck, Cmac) {
  for (int r = 0; r < kRounds; ++r) {
    const Bytes key = random_bytes(32), msg = random_bytes(r < 20 ? r : random_length());
    uint8_t theirs[8], ours[8], native[8];
    ASSERT_TRUE(engine_->mac(key.data(), msg.data(), msg.size(), theirs));
    magma_cmac_msb(key.data(), msg.data(), uint32_t(msg.size()), ours);
    EXPECT_EQ(to_hex(ours, 8), to_hex(theirs, 8)) << "len " << msg.size();
    const Bytes reversed = reverse_groups(msg, 8);
    magma_cmac(words(key).w, reversed.data(), uint32_t(msg.size()), native);
    std::reverse(native, native + 8);
    EXPECT_EQ(to_hex(native, 8), to_hex(theirs, 8)) << "native, len " << msg.size();
  }
}
