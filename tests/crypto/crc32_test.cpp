#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/crc32.h"

TEST(Crc32, CheckValueAndResidue) {
  const char *msg = "123456789";
  EXPECT_EQ(FCS32(msg, 9), 0x340BC6D9u);
  EXPECT_EQ(~FCS32(msg, 9), 0xCBF43926u);
  uint8_t sealed[13];
  std::memcpy(sealed, msg, 9);
  const uint32_t seal = ~FCS32(msg, 9);
  for (int i = 0; i < 4; ++i) sealed[9 + i] = uint8_t(seal >> (8 * i));
  EXPECT_EQ(FCS32(sealed, 13), FCS32_RESIDUE);
  EXPECT_EQ(FCS32(nullptr, 0), 0xFFFFFFFFu);
}

TEST(Crc32, ChainingMatchesOneCall) {
  std::string msg = "The quick brown fox jumps over the lazy dog, again and again.";
  const uint32_t whole = FCS32(msg.data(), uint32_t(msg.size()));
  for (size_t cut = 0; cut <= msg.size(); ++cut) {
    uint32_t crc = FCS32(msg.data(), uint32_t(cut));
    crc = FCS32cont(msg.data() + cut, uint32_t(msg.size() - cut), crc);
    EXPECT_EQ(crc, whole) << "cut at " << cut;
  }
}
