#include <gtest/gtest.h>

#include <cstring>

#include "crypto/random.h"
#include "crypto/random_seed.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

constexpr uint32_t kSlot = 9;

Bytes draw(uint32_t n) {
  Bytes out(n);
  EXPECT_EQ(GetRandomEx(out.data(), n, kSlot), 0u);
  return out;
}

TEST(RandomSeed, OsBytesGoOverTheFirst64SeedBytes) {
  uint8_t seed[RNG_SEED_BYTES], entropy[RNG_OS_ENTROPY_BYTES];
  for (int i = 0; i < RNG_SEED_BYTES; ++i) seed[i] = uint8_t(i * 3 + 1);
  for (uint32_t i = 0; i < RNG_OS_ENTROPY_BYTES; ++i) entropy[i] = uint8_t(0xF0 ^ (i * 11));
  InitRandomExMixed(seed, entropy, kSlot);
  const Bytes mixed = draw(64);
  uint8_t expect[RNG_SEED_BYTES];
  std::memcpy(expect, seed, sizeof expect);
  for (uint32_t i = 0; i < RNG_OS_ENTROPY_BYTES; ++i) expect[i] ^= entropy[i];
  InitRandomEx(expect, kSlot);
  EXPECT_EQ(draw(64), mixed);
  InitRandomEx(seed, kSlot);
  EXPECT_NE(draw(64), mixed) << "the clock seed alone gives another stream";
}

TEST(RandomSeed, SameClockSeedDifferentOsBytesGiveDifferentStreams) {
  uint8_t seed[RNG_SEED_BYTES] = {};
  uint8_t e1[RNG_OS_ENTROPY_BYTES], e2[RNG_OS_ENTROPY_BYTES];
  ASSERT_EQ(ReadOsEntropy(e1, sizeof e1), 0u);
  ASSERT_EQ(ReadOsEntropy(e2, sizeof e2), 0u);
  EXPECT_NE(to_hex(e1, sizeof e1), to_hex(e2, sizeof e2));
  InitRandomExMixed(seed, e1, kSlot);
  const Bytes a = draw(32);
  InitRandomExMixed(seed, e2, kSlot);
  EXPECT_NE(draw(32), a);
}

}  // namespace
