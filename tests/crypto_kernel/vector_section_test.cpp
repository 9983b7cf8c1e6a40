// The kernel build of the crypto library, linked with a host whose
// vector-unit sections can be refused: every result is the same either
// way, and every granted section is closed again. (The known-answer
// runners of tests/crypto/vectors run here too, under both answers.)
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/magma_modes.h"
#include "crypto/streebog.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/mgm_paths.h"
#include "tests/crypto_kernel/fpu_host.h"

using namespace zor::test;

namespace {

class KernelBuild : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { fpu_host = FpuHost{GetParam()}; }
  void TearDown() override {
    EXPECT_EQ(fpu_host.open, 0) << "a granted section was left open";
    EXPECT_FALSE(fpu_host.unbalanced) << "KERN_fpu_end without a granted section";
    EXPECT_GT(GetParam() ? fpu_host.granted : fpu_host.refused, 0) << "the section was asked for";
  }
};

}  // namespace

TEST_P(KernelBuild, MgmGivesThePublishedExample) {
  const MgmNative v = mgm_example();
  Bytes data = v.plain;
  uint64_t tag = 0;
  magmamgm_aead(v.key.w, data.data(), uint32_t(data.size()), &v.nonce, v.aad.data(),
                uint32_t(v.aad.size()), &tag, 1);
  EXPECT_EQ(to_hex(data), to_hex(v.cipher));
  EXPECT_EQ(tag, v.tag);
}

TEST_P(KernelBuild, CounterModesGiveThePublishedExamples) {
  const std::vector<VectorRecord> ctr = read_vectors("magma_ctr.txt");
  ASSERT_FALSE(ctr.empty());
  const Key k = key_words(ctr[0].text("key"));
  const uint32_t iv = uint32_t(ctr[0].number("iv"));
  Bytes data = ctr[0].bytes("plain");
  magma_ctr_msb(iv, k.w, data.data(), int32_t(data.size()));
  EXPECT_EQ(to_hex(data), to_hex(ctr[0].bytes("cipher")));
  // CTR-ACPKM over three sections equals CTR for its first 1024 bytes.
  Bytes a(2500, 0x5c), b(2500, 0x5c);
  const Bytes key = hex(kStdKey);
  magma_ctracpkm_msb(0x78563412, key.data(), a.data(), int32_t(a.size()));
  magma_ctr_msb(0x12345678, key_words(kStdKey).w, b.data(), int32_t(b.size()));
  EXPECT_EQ(to_hex(a.data(), 1024), to_hex(b.data(), 1024));
  EXPECT_NE(to_hex(a.data() + 1024, 16), to_hex(b.data() + 1024, 16));
}

INSTANTIATE_TEST_SUITE_P(VectorUnit, KernelBuild, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "granted" : "refused"; });

// Streebog as the kernel build compiles it (no vector registers of the
// compiler's own choice), over a message long enough for the bulk body: the
// hosted build's digest, with the vector unit granted or refused.
TEST(KernelBuildHashAndCurve, StreebogWithAndWithoutTheVectorUnit) {
  Bytes msg(1000);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = uint8_t(i * 7 + 1);
  for (bool grant : {true, false}) {
    fpu_host = FpuHost{grant};
    Hash3411Ctx ctx;
    Hash3411Open(&ctx);
    Hash3411(&ctx, msg.data(), uint32_t(msg.size()));
    uint8_t out[32];
    Hash3411Close(&ctx, out);
    EXPECT_EQ(to_hex(out, 32), "2015b3f6882354c3beb513308203d5786b62d2205630dbe40e2c026d8787349b") << grant;
    EXPECT_EQ(fpu_host.open, 0);
  }
}
