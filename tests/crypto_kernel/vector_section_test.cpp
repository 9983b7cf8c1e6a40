// The kernel build of the crypto library, linked with a host whose
// vector-unit sections can be refused: every result is the same either
// way, and every granted section is closed again.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/magma.h"
#include "crypto/magma_mgm.h"
#include "crypto/magma_modes.h"
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

const char *kStdKey = "ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

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
