#include <gtest/gtest.h>

#include <cstring>

#include "crypto/buffer_crypt.h"
#include "crypto/gost89.h"
#include "crypto/magma_modes.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

Bytes sample(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 29 + 5);
  return b;
}

void key_words(uint32_t w[8]) { zor::crypto::load_key_le(w, reinterpret_cast<const uint8_t *>(testkey32)); }

TEST(BufferCrypt, KeyIsThirtyTwoPrintableBytesWithLineEnds) {
  EXPECT_EQ(std::strlen(testkey32), 32u);
  EXPECT_NE(std::strchr(testkey32, '\n'), nullptr);
  EXPECT_NE(std::strchr(testkey32, '\r'), nullptr);
}

TEST(BufferCrypt, EncryptThenDecryptRestoresEveryLength) {
  for (uint32_t len : {1u, 7u, 8u, 9u, 15u, 16u, 100u, 1403u}) {
    const Bytes plain = sample(len);
    Bytes buf = plain;
    ASSERT_EQ(EncryptBuffer(buf.data(), len), 0);
    EXPECT_NE(buf, plain) << len;
    ASSERT_EQ(DecryptBuffer(buf.data(), len), 0);
    EXPECT_EQ(buf, plain) << len;
  }
}

TEST(BufferCrypt, ResultsAreTheCiphersFromAZeroIv) {
  uint32_t key[8];
  key_words(key);
  for (uint32_t len : {5u, 8u, 21u}) {
    const Bytes plain = sample(len);
    Bytes ofb(8, 0), cfb(8, 0);
    ofb.insert(ofb.end(), plain.begin(), plain.end());
    cfb.insert(cfb.end(), plain.begin(), plain.end());
    EncipherData8MAGMAOFB(key, ofb.data(), len + 8);
    EncipherData8(bukuz, key, cfb.data(), len + 8);
    Bytes a = plain, b = plain;
    ASSERT_EQ(EncryptBuffer(a.data(), len), 0);
    ASSERT_EQ(DecryptBufferGost(b.data(), len), 0);
    EXPECT_EQ(to_hex(a), to_hex(ofb.data() + 8, len)) << len;
    EXPECT_EQ(to_hex(b), to_hex(cfb.data() + 8, len)) << len;
    // Equal data always gives equal results.
    Bytes again = plain;
    DecryptBufferGost(again.data(), len);
    EXPECT_EQ(again, b);
  }
}

TEST(BufferCrypt, NothingOutsideTheGivenBytesChanges) {
  Bytes guarded(40, 0xCC);
  const Bytes plain = sample(13);
  std::memcpy(guarded.data() + 8, plain.data(), 13);
  ASSERT_EQ(DecryptBufferGost(guarded.data() + 8, 13), 0);
  ASSERT_EQ(EncryptBuffer(guarded.data() + 8, 13), 0);
  for (size_t i = 0; i < guarded.size(); ++i)
    if (i < 8 || i >= 21) {
      EXPECT_EQ(guarded[i], 0xCC) << i;
    }
}

TEST(BufferCrypt, EmptyAndImpossibleRequests) {
  uint8_t byte = 0x42;
  EXPECT_EQ(EncryptBuffer(&byte, 0), 0);
  EXPECT_EQ(DecryptBufferGost(nullptr, 0), 0);
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(EncryptBuffer(nullptr, 10), 1);
  EXPECT_EQ(DecryptBuffer(&byte, 0xFFFFFFF0u), 1);  // no work buffer of that size
  EXPECT_EQ(byte, 0x42);
}

}  // namespace
