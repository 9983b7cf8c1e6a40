// The ring of receive master keys against a model of what it promises: a
// master is taken once while it is among the MASTER_RING_SIZE most recent
// ones taken; a full ring still takes every new master and drops its oldest;
// a reset forgets everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "kernel/filter/master_ring.h"

namespace {

using Master = std::array<uint8_t, 32>;

// What the ring must answer, kept the long way.
struct Model {
  std::deque<Master> held;
  bool Take(const Master &m) {
    if (std::find(held.begin(), held.end(), m) != held.end()) return false;
    held.push_back(m);
    if (held.size() > MASTER_RING_SIZE) held.pop_front();
    return true;
  }
};

TEST(MasterRing, MastersAreTakenAsTheModelSays) {
  std::mt19937 rng(47);
  // A pool of three ring sizes: a master comes back both while it is held
  // and after it was dropped.
  std::vector<Master> pool(3 * MASTER_RING_SIZE);
  for (Master &m : pool)
    for (uint8_t &b : m) b = (uint8_t)rng();
  MasterRing r;
  MasterRingReset(&r);
  Model model;
  for (int i = 0; i < 20000; i++) {
    const Master &m = rng() % 4 || model.held.empty() ? pool[rng() % pool.size()] : model.held.back();
    ASSERT_EQ(MasterRingTake(&r, m.data()), model.Take(m) ? 1u : 0u) << "step " << i;
  }
}

TEST(MasterRing, EveryByteOfTheMasterCountsAndAResetForgetsAll) {
  MasterRing r;
  MasterRingReset(&r);
  Master m{};
  ASSERT_EQ(MasterRingTake(&r, m.data()), 1u);
  for (size_t i = 0; i < m.size(); i++) {
    Master other = m;
    other[i] ^= 0x80;
    EXPECT_EQ(MasterRingTake(&r, other.data()), 1u) << "byte " << i;
  }
  EXPECT_EQ(MasterRingTake(&r, m.data()), 0u);
  MasterRingReset(&r);
  const MasterRing zero{};
  EXPECT_EQ(memcmp(&r, &zero, sizeof r), 0) << "the fingerprints wiped";
  EXPECT_EQ(MasterRingTake(&r, m.data()), 1u);
}

}  // namespace
