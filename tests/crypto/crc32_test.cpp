#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/crc32.h"

// The check value and the residue: tests/crypto/data/crc32.txt.
TEST(Crc32, NoDataIsTheInitialRegister) { EXPECT_EQ(FCS32(nullptr, 0), 0xFFFFFFFFu); }

TEST(Crc32, ChainingMatchesOneCall) {
  std::string msg = "The quick brown fox jumps over the lazy dog, again and again.";
  const uint32_t whole = FCS32(msg.data(), uint32_t(msg.size()));
  for (size_t cut = 0; cut <= msg.size(); ++cut) {
    uint32_t crc = FCS32(msg.data(), uint32_t(cut));
    crc = FCS32cont(msg.data() + cut, uint32_t(msg.size() - cut), crc);
    EXPECT_EQ(crc, whole) << "cut at " << cut;
  }
}
