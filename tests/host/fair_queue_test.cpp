// The stack's frames waiting for the filter: each flow's frames leave in
// their order, the flows share by bytes a round, a flow that starts waiting
// goes before those that kept waiting, and over the bounds only the flow
// holding the most loses frames, from its head, down to half of what it
// holds; a frame keeps its bytes whatever room it is given.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "byte_order.h"
#include "host/fair_queue.h"

namespace {

using namespace zornfhost;
using Bytes = std::vector<uint8_t>;

constexpr size_t kHead = 10;  // the host's header in front of each frame

// A UDP frame of 203.0.113.2:<sport> -> 198.51.100.10:9, `len` bytes in
// all, its sequence number in the payload's first bytes.
struct Udp {
  uint16_t sport = 40000;
  size_t len = 1200;
  uint32_t seq = 0;
  uint8_t proto = 17;
  uint16_t frag = 0x4000;
  uint16_t ethertype = 0x0800;
};

Bytes frame(const Udp &u) {
  Bytes f(kHead + u.len);
  uint8_t *e = f.data() + kHead, *ip = e + 14;
  store_be16(e + 12, u.ethertype);
  ip[0] = 0x45;
  store_be16(ip + 6, u.frag);
  ip[9] = u.proto;
  const uint8_t src[4] = {203, 0, 113, 2}, dst[4] = {198, 51, 100, 10};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  store_be16(ip + 20, u.sport);
  store_be16(ip + 22, 9);
  store_be32(ip + 28, u.seq);
  return f;
}

void push(FairQueue &q, const Udp &u) {
  const Bytes f = frame(u);
  ASSERT_TRUE(q.Push(f.data(), f.size(), kHead));
}

struct Out {
  uint16_t sport;
  uint32_t seq;
  size_t len;
};

std::vector<Out> pop(FairQueue &q, size_t max, size_t max_bytes = 1 << 30) {
  std::vector<FairQueue::Frame *> got(max);
  std::vector<Out> out;
  const size_t n = q.Pop(got.data(), max, max_bytes);
  for (size_t i = 0; i < n; i++) {
    const uint8_t *ip = got[i]->bytes() + kHead + 14;
    out.push_back({load_be16(ip + 20), load_be32(ip + 28), got[i]->len - kHead});
    q.Free(got[i]);
  }
  return out;
}

TEST(FairQueue, EachFlowLeavesInItsOrderAndTheFlowsShareByBytes) {
  FairQueue q(1 << 24, 1 << 16);
  for (uint32_t i = 0; i < 40; i++) push(q, {.sport = 1, .len = 1500, .seq = i});
  for (uint32_t i = 0; i < 400; i++) push(q, {.sport = 2, .len = 150, .seq = i});
  std::map<uint16_t, uint32_t> next, bytes;
  for (const Out &o : pop(q, 200)) {
    EXPECT_EQ(o.seq, next[o.sport]++) << "flow " << o.sport;
    bytes[o.sport] += o.len;
  }
  // 200 frames: each flow got its quantum a round, give or take a frame.
  EXPECT_NEAR(bytes[1], bytes[2], 2 * 1514.0);
  EXPECT_EQ(q.frames(), 440u - 200u);
}

TEST(FairQueue, AFlowThatStartsWaitingGoesBeforeTheBacklog) {
  FairQueue q(1 << 24, 1 << 16);
  for (uint32_t i = 0; i < 100; i++) push(q, {.sport = 1, .len = 900, .seq = i});
  // The backlog has spent its first share and has some of its next left.
  ASSERT_EQ(pop(q, 3).size(), 3u);
  push(q, {.sport = 2, .len = 98});
  const std::vector<Out> next = pop(q, 1);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].sport, 2u) << "the new flow's frame first";
}

TEST(FairQueue, OverItsBoundsOnlyTheFattestFlowLosesFramesFromItsHead) {
  FairQueue q(100 * 1210, 1000);
  for (uint32_t i = 0; i < 5; i++) push(q, {.sport = 2, .seq = i});
  for (uint32_t i = 0; i < 400; i++) push(q, {.sport = 1, .seq = i});
  EXPECT_GT(q.dropped(), 0u);
  EXPECT_LE(q.bytes(), 100u * 1210u);
  std::map<uint16_t, std::vector<uint32_t>> seen;
  for (const Out &o : pop(q, 1000)) seen[o.sport].push_back(o.seq);
  EXPECT_EQ(seen[2], (std::vector<uint32_t>{0, 1, 2, 3, 4})) << "the small flow keeps all";
  ASSERT_FALSE(seen[1].empty());
  EXPECT_EQ(seen[1].back(), 399u) << "the newest frames of the fat flow stay";
  for (size_t i = 1; i < seen[1].size(); i++) EXPECT_EQ(seen[1][i], seen[1][i - 1] + 1);
  EXPECT_TRUE(q.empty());
}

TEST(FairQueue, ADropTakesTheFattestFlowDownToHalfOfWhatItHoldsAtMost64Frames) {
  struct Case {
    size_t fat;      // the fat flow's frames when its next one goes over the bound
    size_t dropped;  // from its head
  };
  const Case cases[] = {{2, 1}, {3, 2}, {101, 51}, {201, 64}};
  for (const Case &c : cases) {
    // Room for the small flow's frame and the fat flow's but its last.
    FairQueue q(c.fat * (kHead + 1200), 1 << 16);
    push(q, {.sport = 2});
    for (uint32_t i = 0; i < c.fat; i++) push(q, {.sport = 1, .seq = i});
    EXPECT_EQ(q.dropped(), c.dropped) << c.fat << " frames";
    std::map<uint16_t, std::vector<uint32_t>> seen;
    for (const Out &o : pop(q, 1000)) seen[o.sport].push_back(o.seq);
    EXPECT_EQ(seen[2].size(), 1u) << c.fat << " frames: the small flow keeps its frame";
    ASSERT_EQ(seen[1].size(), c.fat - c.dropped) << c.fat << " frames";
    EXPECT_EQ(seen[1].front(), c.dropped) << c.fat << " frames: the newest stay";
  }
}

TEST(FairQueue, FramesAtTheEdgeOfEachRoomKeepTheirBytesInANewRoomAndInAKeptOne) {
  FairQueue q(1 << 24, 1 << 16);
  std::vector<size_t> lens;
  for (size_t room : FairQueue::kRooms) lens.insert(lens.end(), {room, room + 1});
  auto byte = [](int round, size_t len, size_t i) {
    return static_cast<uint8_t>(i * 7 + len + round);
  };
  for (int round = 0; round < 2; round++) {
    for (size_t len : lens) {
      Bytes f(len);
      for (size_t i = 0; i < len; i++) f[i] = byte(round, len, i);
      ASSERT_TRUE(q.Push(f.data(), f.size(), len));  // all one flow: out in order
    }
    std::vector<FairQueue::Frame *> got(lens.size());
    ASSERT_EQ(q.Pop(got.data(), got.size(), SIZE_MAX), lens.size());
    for (size_t k = 0; k < lens.size(); k++) {
      ASSERT_EQ(got[k]->len, lens[k]);
      size_t wrong = 0;
      for (size_t i = 0; i < lens[k]; i++) wrong += got[k]->bytes()[i] != byte(round, lens[k], i);
      EXPECT_EQ(wrong, 0u) << "bytes of the " << lens[k] << "-byte frame, round " << round;
    }
    for (FairQueue::Frame *f : got) q.Free(f);  // kept for the next round
  }
}

TEST(FairQueue, ABoundOfFramesHoldsToo) {
  FairQueue q(1 << 30, 10);
  for (uint32_t i = 0; i < 50; i++) push(q, {.sport = 1, .len = 60, .seq = i});
  EXPECT_LE(q.frames(), 10u);
  EXPECT_EQ(q.dropped() + q.frames(), 50u);
}

TEST(FairQueue, APopTakesOneFrameLargerThanItsBytesAndStopsBeforeTheNext) {
  FairQueue q(1 << 24, 1 << 16);
  push(q, {.sport = 1, .len = 9000});
  push(q, {.sport = 1, .len = 9000, .seq = 1});
  EXPECT_EQ(pop(q, 64, 4096).size(), 1u);
  EXPECT_EQ(q.frames(), 1u);
}

TEST(FairQueue, FramesOfOneFlowShareABucketAndOnlyThoseCarryingPortsAreToldApartByThem) {
  struct Case {
    const char *what;
    Udp a, b;
    bool same;
  };
  const Case cases[] = {
      {"same flow", {.sport = 5}, {.sport = 5, .len = 60}, true},
      {"fragments of two ports", {.sport = 5, .frag = 0x2000}, {.sport = 6, .frag = 0x2000}, true},
      {"not IPv4", {.sport = 5, .ethertype = 0x86DD}, {.sport = 6, .ethertype = 0x0806}, true},
  };
  for (const Case &c : cases) {
    const Bytes a = frame(c.a), b = frame(c.b);
    EXPECT_EQ(flow_bucket(a.data() + kHead, a.size() - kHead) ==
                  flow_bucket(b.data() + kHead, b.size() - kHead),
              c.same)
        << c.what;
  }
  // Ports tell flows apart: of many source ports, many buckets are used.
  std::map<uint32_t, int> used;
  for (uint16_t p = 1; p <= 200; p++) {
    const Bytes f = frame({.sport = p});
    used[flow_bucket(f.data() + kHead, f.size() - kHead)]++;
  }
  EXPECT_GT(used.size(), 150u);
  const Bytes runt(20);
  EXPECT_EQ(flow_bucket(runt.data(), runt.size()), 0u);
}

}  // namespace
