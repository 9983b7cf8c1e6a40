#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/magma.h"
#include "crypto/magma_cmac.h"
#include "test_bytes.h"

using namespace zor::test;

TEST(MagmaCmac, NativeAndStandardFormsAgreeOnEveryLength) {
  // A message in native order is the standard-order message with each block
  // (and a last partial block) reversed; an empty message is one padded block.
  const Key k = key_words(kStdKey);
  Bytes msg(40);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = uint8_t(0x31 * i + 7);
  for (uint32_t len = 0; len <= 40; ++len) {
    const Bytes standard(msg.begin(), msg.begin() + len);
    const Bytes native = reverse_groups(standard, 8);
    uint8_t a[8], b[8];
    magma_cmac(k.w, native.data(), len, a);
    magma_cmac_msb_keylsb(k.w, standard.data(), len, b);
    std::reverse(b, b + 8);
    EXPECT_EQ(to_hex(a, 8), to_hex(b, 8)) << "len " << len;
  }
  uint8_t empty[8], null_data[8];
  magma_cmac(k.w, msg.data(), 0, empty);
  magma_cmac(k.w, nullptr, 0, null_data);
  EXPECT_EQ(std::memcmp(empty, null_data, 8), 0);
}
