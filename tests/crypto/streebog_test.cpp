#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/streebog.h"
#include "engine_oracle.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

std::vector<uint8_t> digest(const std::vector<uint8_t> &msg) {
  Hash3411Ctx ctx;
  Hash3411Open(&ctx);
  Hash3411(&ctx, msg.data(), uint32_t(msg.size()));
  std::vector<uint8_t> out(32);
  Hash3411Close(&ctx, out.data());
  return out;
}

TEST(Streebog256, AnySplitOfTheInputGivesTheSameDigest) {
  std::vector<uint8_t> msg(200);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = uint8_t(i * 37 + 11);
  const std::vector<uint8_t> whole = digest(msg);
  for (size_t a = 0; a <= msg.size(); a += 7)
    for (size_t b = a; b <= msg.size(); b += 13) {
      Hash3411Ctx ctx;
      Hash3411Open(&ctx);
      Hash3411(&ctx, msg.data(), uint32_t(a));
      Hash3411(&ctx, msg.data() + a, uint32_t(b - a));
      Hash3411(&ctx, nullptr, 0);
      Hash3411(&ctx, msg.data() + b, uint32_t(msg.size() - b));
      std::vector<uint8_t> out(32);
      Hash3411Close(&ctx, out.data());
      ASSERT_EQ(out, whole) << "split at " << a << ", " << b;
    }
}

TEST(Streebog256, BulkAndBlockByBlockPathsAgree) {
  // Several whole blocks in one call take the vector body where the processor
  // has it; one block per call always takes the table body.
  std::vector<uint8_t> msg(64 * 40 + 17);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = uint8_t(i * 131 + (i >> 7));
  Hash3411Ctx ctx;
  Hash3411Open(&ctx);
  for (size_t at = 0; at < msg.size(); at += 64)
    Hash3411(&ctx, msg.data() + at, uint32_t(std::min<size_t>(64, msg.size() - at)));
  std::vector<uint8_t> one_by_one(32);
  Hash3411Close(&ctx, one_by_one.data());
  EXPECT_EQ(to_hex(digest(msg)), to_hex(one_by_one));
}

TEST(Streebog256, EmptyAndBlockSizedMessagesDiffer) {
  // A message of exactly one block is followed by a whole padding block; the
  // digests of 0, 63, 64 and 65 bytes must all differ.
  std::vector<std::vector<uint8_t>> seen;
  for (size_t n : {0u, 63u, 64u, 65u, 128u}) {
    const std::vector<uint8_t> d = digest(std::vector<uint8_t>(n, 0));
    for (const auto &s : seen) EXPECT_NE(d, s) << n;
    seen.push_back(d);
  }
}

TEST(Streebog256, MatchesTheEngineOnRandomLengths) {
  if (!GostEngine::get())
    GTEST_SKIP() << kNoGostProvider;
  std::mt19937 rng(3411);
  std::vector<size_t> lengths = {0, 1, 31, 32, 63, 64, 65, 127, 128, 129, 1000, 4096, 65537};
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 3000);
  for (size_t len : lengths) {
    const Bytes msg = random_bytes(rng, len);
    Hash3411Ctx ctx;
    Hash3411Open(&ctx);
    // Feed in uneven pieces, as callers do.
    for (size_t at = 0; at < len;) {
      const size_t piece = std::min<size_t>(len - at, 1 + rng() % 1500);
      Hash3411(&ctx, msg.data() + at, uint32_t(piece));
      at += piece;
    }
    uint8_t ours[32];
    Hash3411Close(&ctx, ours);
    EXPECT_EQ(to_hex(ours, 32), to_hex(engine_streebog256(msg.data(), len))) << "length " << len;
  }
}

}  // namespace
