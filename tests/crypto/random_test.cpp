#include <gtest/gtest.h>

#include <cstring>

#include "crypto/gost89.h"
#include "crypto/magma.h"
#include "crypto/random.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

Bytes seed_of(uint8_t salt) {
  Bytes s(RNG_SEED_BYTES);
  for (int i = 0; i < RNG_SEED_BYTES; ++i) s[i] = uint8_t(i * 37 + salt * 101 + 1);
  return s;
}

Bytes draw(uint32_t len, uint32_t slot) {
  Bytes out(len);
  EXPECT_EQ(GetRandomEx(out.data(), len, slot), 0u);
  return out;
}

Bytes repeat(const Bytes &pattern, size_t n) {
  Bytes out;
  while (out.size() < n) out.insert(out.end(), pattern.begin(), pattern.end());
  out.resize(n);
  return out;
}

}  // namespace

TEST(Random, SelfTestVerdicts) {
  Bytes stripes = repeat({0x0F, 0xF0}, 30);  // nibble counts 30 and 34: rejected
  stripes.push_back(0xFF);
  stripes.push_back(0xFF);
  const struct {
    const char *name;
    Bytes block;
    uint32_t verdict;
  } cases[] = {
      {"stripes", stripes, 1},
      {"alternating bits", Bytes(32, 0xAA), 1},
      {"all zero", Bytes(32, 0x00), 1},
      {"all ones", Bytes(32, 0xFF), 1},
      // 128 ones, longest runs 7 (zeros) and 4 (ones), every nibble 4 times: passes.
      {"balanced", repeat({0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78}, 32), 0},
  };
  for (const auto &c : cases) EXPECT_EQ(TestRNG(c.block.data()), c.verdict) << c.name;
  EXPECT_EQ(TestRNG(nullptr), 1u);
}

TEST(Random, OwnOutputPassesTheTests) {
  const Bytes seed = seed_of(1);
  InitRandomEx(seed.data(), 3);
  const Bytes out = draw(4096, 3);
  for (size_t i = 0; i < out.size(); i += 32) EXPECT_EQ(TestRNG(out.data() + i), 0u) << i;
  EXPECT_EQ(RndTest_buf(out.data(), 4096, 15800, 16968, 15800, 16968, 15800, 16968, 8, 40, 8, 40),
            0u);
  EXPECT_EQ(RndTest_expectation_buf(out.data(), 4096, 64), 0u);
}

TEST(Random, BiasedStreamsFail) {
  const Bytes zeros(512, 0), stripes = repeat({0xAA}, 512), skew = repeat({0xF7, 0x7F}, 512);
  EXPECT_EQ(RndTest_buf(zeros.data(), 512, 1800, 2300, -1, -1, -1, -1, -1, -1, -1, -1), 1u);
  EXPECT_EQ(RndTest_buf(stripes.data(), 512, 1800, 2300, -1, -1, -1, -1, -1, -1, -1, -1), 0u);
  EXPECT_EQ(RndTest_buf(stripes.data(), 512, 1800, 2300, 1800, 2300, -1, -1, -1, -1, -1, -1), 1u);
  EXPECT_EQ(RndTest_buf(skew.data(), 512, 1800, 2300, -1, -1, -1, -1, -1, -1, -1, -1), 1u);
  EXPECT_EQ(RndTest_expectation_buf(stripes.data(), 512, 64), 1u);
  EXPECT_EQ(RndTest_expectation_buf(skew.data(), 512, 64), 1u);
}

TEST(Random, BitStreamFigures) {
  // 0x00 0xFF: 8 ones, 1 transition, 8 lag-8 differences, runs 8 and 8.
  const uint8_t two[2] = {0x00, 0xFF};
  EXPECT_EQ(RndTest_buf(two, 2, 8, 8, 1, 1, 8, 8, 8, 8, 8, 8), 0u);
  EXPECT_EQ(RndTest_buf(two, 2, 9, 9, -1, -1, -1, -1, -1, -1, -1, -1), 1u);
  EXPECT_EQ(RndTest_buf(two, 2, -1, 9, 2, 2, -1, -1, -1, -1, -1, -1), 1u) << "transitions active";
  // The run still open at the end counts: 0xFF alone has a one run of 8.
  EXPECT_EQ(RndTest_buf(two + 1, 1, -1, -1, -1, -1, -1, -1, 0, 0, 8, 8), 0u);
  EXPECT_EQ(RndTest_buf(nullptr, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1), 1u);
  EXPECT_EQ(RndTest_buf(two, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1), 1u);
  EXPECT_EQ(RndTest_expectation_buf(two, 0, 4), 1u);
  EXPECT_EQ(RndTest_expectation_buf(two, 2, 0), 1u);
  EXPECT_EQ(RndTest_expectation_buf(nullptr, 2, 4), 1u);
}

TEST(Random, RequestsAndSlots) {
  uint8_t out[40];
  EXPECT_EQ(GetRandomEx(out, 0, 16), 1u);
  EXPECT_EQ(GetRandomEx(out, 8, 16), 1u);
  EXPECT_EQ(GetRandomEx(nullptr, 8, 0), 1u);

  const Bytes seed = seed_of(7);
  for (uint32_t s : {0u, 1u, 2u}) InitRandomEx(seed.data(), s);
  InitRandomEx(seed_of(9).data(), 16);  // ignored

  // Slot 0: a zero-length request, then 33 bytes; slot 1 the same seed in one go.
  EXPECT_EQ(GetRandomEx(out, 0, 0), 0u);
  const Bytes a = draw(33, 0), rest = draw(32, 0);
  const Bytes whole = draw(96, 1);
  EXPECT_EQ(to_hex(a), to_hex(Bytes(whole.begin(), whole.begin() + 33)));
  EXPECT_EQ(to_hex(rest), to_hex(Bytes(whole.begin() + 64, whole.end()))) << "33 bytes took two blocks";

  // Slot 2 was untouched by all of this and starts the same stream.
  EXPECT_EQ(to_hex(draw(33, 2)), to_hex(a));
  // Reseeding changes the stream; seeding again with the old seed repeats it.
  InitRandomEx(seed_of(8).data(), 2);
  const Bytes other = draw(33, 2);
  EXPECT_NE(to_hex(other), to_hex(a));
  InitRandomEx(seed.data(), 2);
  EXPECT_EQ(to_hex(draw(33, 2)), to_hex(a));
  EXPECT_EQ(GetRandom32Ex(out, 2), 0u);
  EXPECT_EQ(to_hex(out, 32), to_hex(Bytes(whole.begin() + 64, whole.end())));
}

TEST(Random, OneRoundIsThreeCfbPasses) {
  const Bytes seed = seed_of(3);
  InitRandomEx(seed.data(), 5);
  const Bytes got = draw(32, 5);

  Bytes s = seed;
  s[0] += 1;  // counter, little-endian; no carry for this seed
  uint32_t key[8];
  auto pass = [&](size_t span, size_t key_at) {
    std::memcpy(key, s.data() + key_at, 32);
    EncipherData8(&f2009uz, key, s.data() + span, 40);
  };
  pass(0, 40);
  pass(32, 0);
  pass(0, 40);
  ASSERT_EQ(TestRNG(s.data() + 8), 0u) << "this seed's first candidate is accepted";
  EXPECT_EQ(to_hex(got), to_hex(s.data() + 8, 32));
}
