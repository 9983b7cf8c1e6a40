// The kernel build of the crypto library, linked with a host whose
// vector-unit sections can be refused: every result is the same either
// way, and every granted section is closed again.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/magma.h"
#include "crypto/magma_mgm.h"
#include "crypto/magma_modes.h"
#include "crypto/gost3410.h"
#include "crypto/kdf.h"
#include "crypto/streebog.h"
#include "tests/crypto/test_bytes.h"

using namespace zor::test;

namespace {

struct Host {
  bool grant = true;
  int open = 0, granted = 0, refused = 0;
  bool unbalanced = false;
} host;

}  // namespace

extern "C" int KERN_fpu_try_begin(void) {
  if (!host.grant) {
    ++host.refused;
    return 0;
  }
  ++host.open;
  ++host.granted;
  return 1;
}

extern "C" void KERN_fpu_end(void) {
  if (--host.open < 0) host.unbalanced = true;
}

namespace {

class KernelBuild : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { host = Host{GetParam()}; }
  void TearDown() override {
    EXPECT_EQ(host.open, 0) << "a granted section was left open";
    EXPECT_FALSE(host.unbalanced) << "KERN_fpu_end without a granted section";
    EXPECT_GT(GetParam() ? host.granted : host.refused, 0) << "the section was asked for";
  }
};

}  // namespace

TEST_P(KernelBuild, MgmGivesThePublishedExample) {
  // RFC 9058's Magma example, blocks and nonce reversed into native order.
  const Key k = key_words(kStdKey);
  const uint64_t nonce = 0x12def06b3c130a59ull;
  const Bytes aad = reverse_groups(
      hex("0101010101010101 0202020202020202 0303030303030303 0404040404040404"
          "0505050505050505 ea"),
      8);
  const Bytes plain = reverse_groups(
      hex("ffeeddccbbaa9988 1122334455667700 8899aabbcceeff0a 0011223344556677"
          "99aabbcceeff0a00 1122334455667788 aabbcceeff0a0011 2233445566778899 aabbcc"),
      8);
  const Bytes cipher = reverse_groups(
      hex("c795066c5f9ea03b 85113342459185ae 1f2e00d6bf2b785d 940470b8bb9c8e7d"
          "9a5dd3731f7ddc70 ec27cb0ace6fa576 70f65c646abb75d5 47aa37c3bcb5c34e 03bb9c"),
      8);
  Bytes data = plain;
  uint64_t tag = 0;
  magmamgm_aead(k.w, data.data(), uint32_t(data.size()), &nonce, aad.data(),
                uint32_t(aad.size()), &tag, 1);
  EXPECT_EQ(to_hex(data), to_hex(cipher));
  EXPECT_EQ(tag, 0xa7928069aa10fd10ull);
}

TEST_P(KernelBuild, CounterModesGiveThePublishedExamples) {
  const Key k = key_words(kStdKey);
  Bytes data = hex("92def06b3c130a59 db54c704f8189d20 4a98fb2e67a8024c 8912409b17b57e41");
  magma_ctr_msb(0x12345678, k.w, data.data(), int32_t(data.size()));
  EXPECT_EQ(to_hex(data),
            "4e98110c97b7b93c3e250d93d6e85d69136d868807b2dbef568eb680ab52a12d");
  // CTR-ACPKM over three sections equals CTR for its first 1024 bytes.
  Bytes a(2500, 0x5c), b(2500, 0x5c);
  const Bytes key = hex(kStdKey);
  magma_ctracpkm_msb(0x78563412, key.data(), a.data(), int32_t(a.size()));
  magma_ctr_msb(0x12345678, k.w, b.data(), int32_t(b.size()));
  EXPECT_EQ(to_hex(a.data(), 1024), to_hex(b.data(), 1024));
  EXPECT_NE(to_hex(a.data() + 1024, 16), to_hex(b.data() + 1024, 16));
}

INSTANTIATE_TEST_SUITE_P(VectorUnit, KernelBuild, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "granted" : "refused"; });

// Streebog, KDF_TREE and the curve arithmetic as the kernel build compiles
// them (no vector registers of the compiler's own choice): the same answers
// as the hosted build's vectors, with the vector unit granted or refused.
TEST(KernelBuildHashAndCurve, StreebogWithAndWithoutTheVectorUnit) {
  Bytes msg(1000);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = uint8_t(i * 7 + 1);
  for (bool grant : {true, false}) {
    host = Host{grant};
    Hash3411Ctx ctx;
    Hash3411Open(&ctx);
    Hash3411(&ctx, msg.data(), uint32_t(msg.size()));
    uint8_t out[32];
    Hash3411Close(&ctx, out);
    EXPECT_EQ(to_hex(out, 32), "2015b3f6882354c3beb513308203d5786b62d2205630dbe40e2c026d8787349b") << grant;
    EXPECT_EQ(host.open, 0);
  }
}

TEST(KernelBuildHashAndCurve, KdfTreeAndPublicKey) {
  Bytes key(32);
  for (int i = 0; i < 32; ++i) key[i] = uint8_t(i);
  const Bytes label = hex("26bdb878"), seed = hex("af21434145656378");
  uint8_t out[64];
  ASSERT_EQ(KDF_TREE_GOSTR3411_2012_256(key.data(), label.data(), 4, seed.data(), 8, out, 64), 0u);
  EXPECT_EQ(to_hex(out, 64),
            "22b6837845c6bef65ea71672b265831086d3c76aebe6dae91cad51d83f79d16b"
            "074c9330599d7f8d712fca54392f4ddde93751206b3584c8f43f9e6dc51531f9");
  const Bytes d = printed_le("01743A13625C852B38ED3D424194665FAB30A8F88911A51F52AB7579EA2BA29D");
  uint8_t pub[64];
  ASSERT_EQ(R3410_256_PubKey(R34101_SelectParams(R3410_PARAMSET_256_A), pub, d.data()), 0u);
  EXPECT_EQ(to_hex(pub, 64), to_hex(printed_le("CE1E1711138EEE47E5880FBEB71E3D4077C83DE98EEEC268F6DFA010E2ECC69A")) +
                                 to_hex(printed_le("63B73F8DFAAC123163F68E361C6F70E9F54B893FBEE3D75FE0930085BAFA70DC")));
}
