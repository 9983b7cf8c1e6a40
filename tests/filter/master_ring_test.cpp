// The session's receive master keys against a model of what the store
// promises: a master is taken once, however many came after it, through
// every growth of the store; a new master that finds no room (no memory,
// or the bound) is not held and nothing held is forgotten; a reset forgets
// everything and gives the memory back.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "kernel/filter/master_ring.h"
#include "tests/host/test_host.h"

namespace {

using Master = std::array<uint8_t, 32>;

Master Numbered(uint32_t n) {
  Master m{};
  memcpy(m.data(), &n, sizeof n);
  m[31] = 0xA5;
  return m;
}

class MasterStore : public ::testing::Test {
 protected:
  void SetUp() override {
    testhost::state() = testhost::State{};
    MasterRingReset(&r);
  }
  void TearDown() override {
    MasterRingReset(&r);
    EXPECT_EQ(testhost::state().live_allocs, 0) << "the store's memory given back";
  }
  MasterRing r{};
};

TEST_F(MasterStore, MastersAreTakenAsTheModelSays) {
  std::mt19937 rng(47);
  // Many more masters than the record holds itself: the store grows several
  // times while masters come back from every part of it.
  std::vector<Master> pool(64 * MASTER_INLINE_SLOTS);
  for (Master &m : pool)
    for (uint8_t &b : m) b = (uint8_t)rng();
  std::set<Master> model;
  Master last{};
  for (int i = 0; i < 20000; i++) {
    const Master &m = rng() % 4 || model.empty() ? pool[rng() % pool.size()] : last;
    const uint32_t want = model.insert(m).second ? MASTER_TAKEN : MASTER_KNOWN;
    ASSERT_EQ(MasterRingTake(&r, m.data()), want) << "step " << i;
    last = m;
  }
  ASSERT_EQ(r.held, model.size());
  for (const Master &m : model) ASSERT_EQ(MasterRingTake(&r, m.data()), MASTER_KNOWN);
}

TEST_F(MasterStore, EveryByteOfTheMasterCountsAndAResetForgetsAll) {
  Master m{};
  ASSERT_EQ(MasterRingTake(&r, m.data()), MASTER_TAKEN);
  for (size_t i = 0; i < m.size(); i++) {
    Master other = m;
    other[i] ^= 0x80;
    EXPECT_EQ(MasterRingTake(&r, other.data()), MASTER_TAKEN) << "byte " << i;
  }
  for (uint32_t n = 1; n <= 4 * MASTER_INLINE_SLOTS; n++)
    ASSERT_EQ(MasterRingTake(&r, Numbered(n).data()), MASTER_TAKEN);
  EXPECT_EQ(MasterRingTake(&r, m.data()), MASTER_KNOWN);
  ASSERT_GT(testhost::state().live_allocs, 0) << "the store in the host's memory";
  MasterRingReset(&r);
  EXPECT_EQ(testhost::state().live_allocs, 0);
  const MasterRing zero{};
  EXPECT_EQ(memcmp(&r, &zero, sizeof r), 0) << "the fingerprints wiped";
  EXPECT_EQ(MasterRingTake(&r, m.data()), MASTER_TAKEN);
}

// The host without memory when the store must grow: the new master is not
// held, every one held stays known, and with memory again it is taken.
TEST_F(MasterStore, ANewMasterFindingNoMemoryIsNotHeldAndNothingIsForgotten) {
  uint32_t n = 0;
  for (uint32_t growths = 0; growths < 3; growths++) {
    testhost::state().fail_alloc_at = 1;  // the next growth
    uint32_t took;
    while ((took = MasterRingTake(&r, Numbered(++n).data())) == MASTER_TAKEN)
      ASSERT_LT(n, 64 * MASTER_INLINE_SLOTS) << "the store never grew";
    EXPECT_EQ(took, MASTER_NO_ROOM) << "growth " << growths;
    EXPECT_EQ(r.held, n - 1);
    for (uint32_t k = 1; k < n; k++)
      ASSERT_EQ(MasterRingTake(&r, Numbered(k).data()), MASTER_KNOWN) << "master " << k;
    EXPECT_EQ(MasterRingTake(&r, Numbered(n).data()), MASTER_TAKEN) << "growth " << growths;
  }
}

// At the bound the store takes no more and still knows every master.
TEST_F(MasterStore, AtTheBoundANewMasterIsNotHeld) {
  for (uint32_t n = 0; n < MASTER_MAX_HELD; n++)
    ASSERT_EQ(MasterRingTake(&r, Numbered(n).data()), MASTER_TAKEN) << "master " << n;
  const long allocs = testhost::state().allocs;
  EXPECT_EQ(MasterRingTake(&r, Numbered(MASTER_MAX_HELD).data()), MASTER_NO_ROOM);
  EXPECT_EQ(testhost::state().allocs, allocs) << "no growth past the bound";
  for (uint32_t n : {0u, 1u, MASTER_MAX_HELD / 2, MASTER_MAX_HELD - 1})
    EXPECT_EQ(MasterRingTake(&r, Numbered(n).data()), MASTER_KNOWN) << "master " << n;
}

}  // namespace
