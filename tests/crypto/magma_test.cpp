#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "crypto/gost89.h"
#include "crypto/magma.h"
#include "crypto/magma_cmac.h"
#include "test_bytes.h"

using namespace zor::test;

TEST(Magma, KeyScheduleFromStandardKey) {
  const Key k = key_words(kStdKey);
  const uint32_t expected[8] = {0xffeeddcc, 0xbbaa9988, 0x77665544, 0x33221100,
                                0xf0f1f2f3, 0xf4f5f6f7, 0xf8f9fafb, 0xfcfdfeff};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(k.w[i], expected[i]) << "K" << i + 1;
  // In memory each 4-byte group of the standard's key is reversed.
  EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t *>(k.w), 32),
            to_hex(reverse_groups(hex(kStdKey), 4)));
}

// The lazy table and the last-MAC cell are process-wide; they start empty.
// The check runs in a process of its own (the threadsafe death-test style
// starts the test binary afresh), so no earlier test can have touched them.
TEST(Magma, SharedCellsStartEmpty) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static const uint8_t zero[8] = {};
        const bool empty = magma_UZ_inited == 0 && ImPrefixMAGMAStoreLO() == 0 &&
                           std::memcmp(impref, zero, 8) == 0;
        std::_Exit(empty ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Magma, LazyTableMatchesConstantTable) {
  // Forget any earlier build, with a table that matches nothing.
  std::memset(&magmauz, 0xA5, sizeof magmauz);
  magma_UZ_inited = 0;
  const UzTable4K *uz = magma_get_UZ();
  EXPECT_EQ(uz, &magmauz);
  EXPECT_EQ(magma_UZ_inited, 1u);
  EXPECT_EQ(std::memcmp(&magmauz, &MAGMA_sbox_4k, sizeof(UzTable4K)), 0);
  EXPECT_EQ(std::memcmp(&f2009uz, &MAGMA_sbox_4k, sizeof(UzTable4K)), 0);
  UzTable4K rebuilt;
  PrepareUz(&rebuilt, &magmauz_cmpr);
  EXPECT_EQ(std::memcmp(&rebuilt, &MAGMA_sbox_4k, sizeof(UzTable4K)), 0);
}

TEST(Magma, MacHalvesComeFromTheLastMac) {
  // A known value in the shared cell first: the low half is read from it.
  static const uint8_t earlier[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::memcpy(impref, earlier, 8);
  EXPECT_EQ(ImPrefixMAGMAStoreLO(), 0x44332211u);
  const Key k = key_words(kStdKey);
  const Bytes msg = hex("0102030405060708090a0b0c0d");
  uint8_t mac[8];
  magma_cmac(k.w, msg.data(), uint32_t(msg.size()), mac);
  uint32_t lo, hi;
  std::memcpy(&lo, mac, 4);
  std::memcpy(&hi, mac + 4, 4);
  EXPECT_EQ(ImPrefixMAGMA(k.w, msg.data(), uint32_t(msg.size())), hi);
  EXPECT_EQ(ImPrefixMAGMAStoreLO(), lo);
  EXPECT_EQ(std::memcmp(impref, mac, 8), 0);
}

TEST(Magma, KeyWrapRoundTrip) {
  const Key kek = key_words(kStdKey);
  const Bytes plain = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  uint8_t key[32];
  std::memcpy(key, plain.data(), 32);
  const uint32_t wrap_mac = EncipherKeyMAGMA(kek.w, key);
  EXPECT_EQ(wrap_mac, ImPrefixMAGMA(kek.w, plain.data(), 32)) << "MAC over the plain key";
  // Each block enciphered on its own.
  for (int b = 0; b < 4; ++b) {
    uint64_t p, c;
    std::memcpy(&p, plain.data() + 8 * b, 8);
    std::memcpy(&c, key + 8 * b, 8);
    EXPECT_EQ(c, magmaencrypt_ni(p, kek.w)) << "block " << b;
  }
  EXPECT_EQ(DecipherKeyMAGMA(kek.w, key), wrap_mac);
  EXPECT_EQ(std::memcmp(key, plain.data(), 32), 0);
  // A wrong key-encryption key yields another MAC half, so the caller refuses.
  Key other = kek;
  other.w[3] ^= 1;
  std::memcpy(key, plain.data(), 32);
  EncipherKeyMAGMA(kek.w, key);
  EXPECT_NE(DecipherKeyMAGMA(other.w, key), wrap_mac);
}
