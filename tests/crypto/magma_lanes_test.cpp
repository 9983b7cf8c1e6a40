// The side-by-side CMAC and OFB against magma_cmac and magma_ofb message by
// message, on the same inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

#include "crypto/cpu_features.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_lanes.h"
#include "crypto/magma_modes.h"
#include "test_bytes.h"

using namespace zor::crypto;
using zor::test::Bytes;

namespace {

struct Batch {
  std::vector<std::array<uint32_t, 8>> keys;
  std::vector<Bytes> msgs;
  std::vector<size_t> key_of;  // message -> key
};

// `count` messages of random lengths up to max_len; the key changes before
// each message listed in `changes`.
Batch make_batch(std::mt19937 &rng, size_t count, uint32_t max_len,
                 const std::vector<size_t> &changes) {
  Batch b;
  auto new_key = [&] {
    std::array<uint32_t, 8> k;
    for (auto &w : k) w = rng();
    b.keys.push_back(k);
  };
  new_key();
  for (size_t i = 0; i < count; ++i) {
    if (std::find(changes.begin(), changes.end(), i) != changes.end()) new_key();
    Bytes m(rng() % (max_len + 1));
    for (auto &x : m) x = uint8_t(rng());
    b.msgs.push_back(m);
    b.key_of.push_back(b.keys.size() - 1);
  }
  return b;
}

struct Shape {
  size_t count;
  uint32_t max_len;
  std::vector<size_t> changes;
};

const Shape kShapes[] = {
    {1, 64, {}},          {2, 9, {}},          {15, 1500, {}},     {16, 1500, {}},
    {17, 1500, {}},       {31, 300, {}},       {32, 1500, {}},     {33, 1500, {}},
    {45, 1500, {20}},     {70, 200, {5, 6, 40}}, {40, 16, {}},     {24, 1500, {1, 23}},
    {49, 1500, {}},       {64, 700, {}},       {65, 1500, {}},     {130, 1500, {3, 64, 100}},
};

}  // namespace

TEST(MagmaLanes, CmacEqualsOneAtATime) {
  std::mt19937 rng(17);
  for (const Shape &shape : kShapes) {
    Batch b = make_batch(rng, shape.count, shape.max_len, shape.changes);
    std::vector<MacLane> lanes;
    for (size_t i = 0; i < b.msgs.size(); ++i)
      lanes.push_back({b.keys[b.key_of[i]].data(), b.msgs[i].data(), uint32_t(b.msgs[i].size()), 0});
    magma_cmac_lanes(lanes.data(), lanes.size());
    for (size_t i = 0; i < lanes.size(); ++i) {
      uint8_t out[8];
      magma_cmac(lanes[i].key, b.msgs[i].data(), uint32_t(b.msgs[i].size()), out);
      uint64_t want;
      std::memcpy(&want, out, 8);
      EXPECT_EQ(lanes[i].mac, want) << "count " << shape.count << " message " << i << " length "
                                    << b.msgs[i].size();
    }
  }
}

TEST(MagmaLanes, OfbEqualsOneAtATime) {
  std::mt19937 rng(18);
  for (const Shape &shape : kShapes) {
    Batch b = make_batch(rng, shape.count, shape.max_len, shape.changes);
    std::vector<Bytes> work = b.msgs;
    std::vector<OfbLane> lanes;
    for (size_t i = 0; i < work.size(); ++i)
      lanes.push_back({b.keys[b.key_of[i]].data(), work[i].data(), uint32_t(work[i].size()),
                       uint64_t(rng()) << 32 | rng()});
    magma_ofb_lanes(lanes.data(), lanes.size());
    for (size_t i = 0; i < work.size(); ++i) {
      Bytes want = b.msgs[i];
      magma_ofb(lanes[i].key, want.data(), uint32_t(want.size()), &lanes[i].iv);
      EXPECT_EQ(work[i], want) << "count " << shape.count << " message " << i << " length "
                               << want.size();
    }
  }
}

// Copies of one key at different places still make one batch, and bytes
// outside each message stay as they were.
TEST(MagmaLanes, OfbTouchesOnlyTheMessages) {
  std::mt19937 rng(19);
  std::array<uint32_t, 8> k1, k2;
  for (auto &w : k1) w = rng();
  k2 = k1;
  Bytes arena(20 * 64, 0xA5);
  std::vector<OfbLane> lanes;
  for (uint32_t i = 0; i < 20; ++i)
    lanes.push_back({(i % 2 ? k1 : k2).data(), arena.data() + 64 * i + 3, i * 3 % 57, i});
  magma_ofb_lanes(lanes.data(), lanes.size());
  Bytes want(20 * 64, 0xA5);
  for (uint32_t i = 0; i < 20; ++i) magma_ofb(k1.data(), want.data() + 64 * i + 3, i * 3 % 57, &lanes[i].iv);
  EXPECT_EQ(arena, want);
}

TEST(MagmaLanes, EmptyAndNullMessages) {
  std::array<uint32_t, 8> k{1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<MacLane> lanes(18, MacLane{k.data(), nullptr, 0, 0});
  uint8_t byte = 0x42;
  lanes[5] = {k.data(), &byte, 1, 0};
  magma_cmac_lanes(lanes.data(), lanes.size());
  uint8_t empty[8], one[8];
  magma_cmac(k.data(), nullptr, 0, empty);
  magma_cmac(k.data(), &byte, 1, one);
  uint64_t e, o;
  std::memcpy(&e, empty, 8);
  std::memcpy(&o, one, 8);
  for (size_t i = 0; i < lanes.size(); ++i) EXPECT_EQ(lanes[i].mac, i == 5 ? o : e) << i;
  std::vector<OfbLane> ofb(17, OfbLane{k.data(), nullptr, 100, 7});
  magma_ofb_lanes(ofb.data(), ofb.size());  // null data: nothing to do, nothing read
}
