// The compressor's position code tables against the format's table.
#include <gtest/gtest.h>

#include "kernel/codecs/position_code.h"
#include "tests/codecs/reference_encoder.h"

namespace zor::codecs::test {
namespace {

TEST(PositionCode, RowsAreConsecutiveCanonicalCodes) {
  for (const PositionRow &r : kPositionRows) {
    EXPECT_EQ(position_pattern(r.last_value), r.last_code) << r.first_value;
  }
}

TEST(PositionCode, TablesHoldTheFormatsPatterns) {
  for (unsigned v = 0; v < 256; ++v) {
    int length = compress_len_poi[v] + 8;
    ASSERT_GE(compress_len_poi[v], -5) << v;
    ASSERT_LE(compress_len_poi[v], 3) << v;
    EXPECT_EQ(compress_cod_poi[v] & ((1u << (16 - length)) - 1), 0u) << v;  // left-aligned
    EXPECT_EQ(to_bits(compress_cod_poi[v] >> (16 - length), length), position_pattern(v)) << v;
  }
}

}  // namespace
}  // namespace zor::codecs::test
