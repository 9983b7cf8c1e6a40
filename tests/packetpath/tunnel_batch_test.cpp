// Data datagrams protected and opened in batches give the bytes and verdicts
// of the one-by-one path, in both modes, with the key changing inside a
// batch and batch sizes that do not fill the lanes evenly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernel/filter/tunnel_crypto.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Datagrams {
  Bytes keys[6];
  std::vector<Bytes> plain;
  std::vector<uint32_t> counters;
  std::vector<int> key_of;
};

// count datagrams of random lengths; the key changes every `change` datagrams
// (six keys in turn).
Datagrams make(std::mt19937 &rng, uint32_t count, uint32_t change) {
  Datagrams g;
  for (Bytes &k : g.keys) {
    k.resize(32);
    for (auto &b : k) b = (uint8_t)rng();
  }
  uint32_t counter = rng() % 1000;
  for (uint32_t i = 0; i < count; i++) {
    Bytes d(26 + rng() % 1475);
    for (auto &b : d) b = (uint8_t)rng();
    d[4] = 14;
    g.plain.push_back(d);
    g.counters.push_back(counter);
    counter += (uint32_t)((d.size() + 15) >> 4);
    g.key_of.push_back((int)(i / change % 6));
  }
  return g;
}

std::vector<GuardDataJob> jobs_for(Datagrams &g, std::vector<Bytes> &work) {
  std::vector<GuardDataJob> jobs;
  for (size_t i = 0; i < work.size(); i++)
    jobs.push_back({work[i].data(), (uint32_t)work[i].size(), g.counters[i],
                    g.keys[g.key_of[i]].data(), 0});
  return jobs;
}

struct Shape {
  uint32_t count, change;
};
const Shape kShapes[] = {{1, 9}, {7, 3}, {16, 99}, {17, 16}, {33, 1}, {45, 31}, {64, 40}, {70, 2}, {150, 77}};
const uint8_t kNonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};

class TunnelBatch : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TunnelBatch, SealAndOpenEqualOneByOne) {
  const uint32_t mgm = GetParam();
  std::mt19937 rng(mgm ? 71 : 70);
  for (const Shape &shape : kShapes) {
    Datagrams g = make(rng, shape.count, shape.change);
    std::vector<Bytes> batch = g.plain, single = g.plain;
    std::vector<GuardDataJob> jobs = jobs_for(g, batch);
    GuardSealDataBatch(jobs.data(), (uint32_t)jobs.size(), kNonce, mgm);
    for (size_t i = 0; i < single.size(); i++) {
      GuardSealData(single[i].data(), (uint32_t)single[i].size(), g.keys[g.key_of[i]].data(),
                    g.counters[i], kNonce, mgm);
      ASSERT_EQ(batch[i], single[i]) << "count " << shape.count << " datagram " << i;
    }
    // One datagram in the middle tampered with: only it is refused.
    size_t bad = shape.count / 2;
    batch[bad][batch[bad].size() - 1] ^= 0x20;
    GuardOpenDataBatch(jobs.data(), (uint32_t)jobs.size(), kNonce, mgm);
    for (size_t i = 0; i < batch.size(); i++) {
      EXPECT_EQ(jobs[i].ok, i == bad ? 0u : 1u) << "count " << shape.count << " datagram " << i;
      if (i == bad) continue;
      // The opened body is the plain one (word A's place reads zero).
      Bytes want = g.plain[i];
      std::fill(want.begin() + 14, want.begin() + 18, 0);
      EXPECT_TRUE(std::equal(want.begin() + 4, want.end(), batch[i].begin() + 4)) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TunnelBatch, ::testing::Values(0u, 1u),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
