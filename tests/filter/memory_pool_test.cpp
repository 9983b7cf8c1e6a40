// The private memory pool against a model of its blocks: random takes and
// frees never hand out overlapping memory, the free count is exact, freed
// neighbours join again, and pointers it did not give are ignored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "kernel/filter/filter_core.h"
#include "kernel/filter/memory_pool.h"

namespace {

struct Taken {
  uint8_t *p;
  uint32_t size;
};

class Pool : public ::testing::Test {
 protected:
  void SetUp() override { MVInit(arena.data(), FLT_POOL_ARENA_SIZE); }
  void TearDown() override { MVInit(nullptr, 0); }
  // operator new gives 16-byte alignment.
  static inline std::vector<uint8_t> arena = std::vector<uint8_t>(FLT_POOL_ARENA_SIZE);
};

TEST_F(Pool, RandomTakesAndFreesNeverOverlapAndAllComesBack) {
  std::mt19937 rng(7);
  std::vector<Taken> live;
  for (int step = 0; step < 200000; step++) {
    bool take = live.empty() || (rng() % 100 < 55 && live.size() < 2000);
    if (take) {
      uint32_t size = 1 + rng() % (rng() % 8 ? 1600 : 66000);
      auto *p = static_cast<uint8_t *>(MVAlloc(size));
      if (!p) continue;
      ASSERT_GE(p, arena.data());
      ASSERT_LE(p + size, arena.data() + arena.size());
      std::fill(p, p + size, (uint8_t)step);
      live.push_back({p, size});
      continue;
    }
    size_t i = rng() % live.size();
    // What was written stays until freed: nothing else was given this memory.
    const Taken t = live[i];
    ASSERT_TRUE(std::all_of(t.p, t.p + t.size, [&](uint8_t b) { return b == t.p[0]; }))
        << "step " << step;
    MVFree(t.p);
    live[i] = live.back();
    live.pop_back();
  }
  for (const Taken &t : live) MVFree(t.p);
  EXPECT_EQ(MVFreeBytes(), FLT_POOL_ARENA_SIZE);
  EXPECT_NE(MVAlloc(FLT_POOL_ARENA_SIZE - 16), nullptr) << "one block again";
}

TEST_F(Pool, PointersItDidNotGiveAreIgnored) {
  auto *a = static_cast<uint8_t *>(MVAlloc(100));
  auto *b = static_cast<uint8_t *>(MVAlloc(100));
  ASSERT_TRUE(a && b);
  const uint32_t free_before = MVFreeBytes();
  uint8_t outside = 0;
  for (void *p : {static_cast<void *>(a + 16), static_cast<void *>(a + 1), static_cast<void *>(&outside),
                  static_cast<void *>(arena.data())})
    MVFree(p);
  EXPECT_EQ(MVFreeBytes(), free_before);
  MVFree(a);
  const uint32_t after_one = MVFreeBytes();
  EXPECT_GT(after_one, free_before);
  MVFree(a);
  EXPECT_EQ(MVFreeBytes(), after_one) << "freed twice";
  MVFree(b);
  EXPECT_EQ(MVFreeBytes(), FLT_POOL_ARENA_SIZE);
}

TEST_F(Pool, AFullPoolRefusesUntilSomethingIsFreed) {
  std::vector<void *> blocks;
  while (void *p = MVAlloc(1500)) blocks.push_back(p);
  EXPECT_EQ(blocks.size(), FLT_POOL_ARENA_SIZE / 1520);
  EXPECT_EQ(MVAlloc(1500), nullptr);
  MVFree(blocks[blocks.size() / 2]);
  EXPECT_EQ(MVAlloc(1500), blocks[blocks.size() / 2]) << "the freed block, found from the rover";
}

}  // namespace
