// Coalescing of the TCP segments zornfhost writes to the TAP: a run of one
// flow leaves as one write that, cut at its segment size, gives back each
// segment's bytes and whose partial checksum completes to a valid one;
// anything that breaks the run starts a new write.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "byte_order.h"
#include "host/checksum.h"
#include "host/tap_coalesce.h"

namespace {

using namespace zornfhost;
using Bytes = std::vector<uint8_t>;

// A segment of 198.51.100.10:7 -> 203.0.113.2:40001, ACK with timestamps.
struct Seg {
  uint32_t seq;
  size_t len;
  uint8_t flags = 0x10;
  uint8_t proto = 6;
  uint16_t frag = 0x4000;
  uint16_t sport = 7, dport = 40001;
  uint8_t src_host = 10, dst_host = 2;  // the addresses' last bytes
  uint8_t tsval = 1;
};

Bytes frame(const Seg &s) {
  const size_t thl = 32;
  Bytes f(14 + 20 + thl + s.len);
  std::memcpy(f.data(), "\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01", 12);
  store_be16(&f[12], 0x0800);
  uint8_t *ip = &f[14], *tcp = ip + 20;
  ip[0] = 0x45;
  store_be16(ip + 2, static_cast<uint16_t>(20 + thl + s.len));
  store_be16(ip + 4, static_cast<uint16_t>(s.seq));
  store_be16(ip + 6, s.frag);
  ip[8] = 64;
  ip[9] = s.proto;
  const uint8_t src[4] = {198, 51, 100, s.src_host}, dst[4] = {203, 0, 113, s.dst_host};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  store_be16(tcp, s.sport);
  store_be16(tcp + 2, s.dport);
  store_be32(tcp + 4, s.seq);
  store_be32(tcp + 8, 77);
  tcp[12] = thl / 4 << 4;
  tcp[13] = s.flags;
  store_be16(tcp + 14, 512);
  const uint8_t ts[12] = {1, 1, 8, 10, 0, 0, 0, s.tsval, 0, 0, 0, 9};
  std::memcpy(tcp + 20, ts, sizeof ts);
  for (size_t i = 0; i < s.len; i++) tcp[thl + i] = static_cast<uint8_t>(s.seq + i);
  return f;
}

std::vector<TapWrite> plan(const std::vector<Bytes> &frames, std::vector<FrameBytes> *views) {
  views->clear();
  for (const Bytes &f : frames) views->push_back({f.data(), f.size()});
  return plan_tap_writes(views->data(), views->size());
}

// The run counts of the writes for segments made by `vary` from a stream
// of five 1000-byte segments.
std::vector<size_t> runs(const std::function<void(std::vector<Seg> &)> &vary) {
  std::vector<Seg> segs;
  for (uint32_t i = 0; i < 5; i++) segs.push_back({1000 + 1000 * i, 1000});
  vary(segs);
  std::vector<Bytes> frames;
  for (const Seg &s : segs) frames.push_back(frame(s));
  std::vector<FrameBytes> views;
  std::vector<size_t> out;
  for (const TapWrite &w : plan(frames, &views)) out.push_back(w.frames);
  return out;
}

TEST(TapCoalesce, ARunLeavesAsOneWriteThatCutsBackIntoItsSegments) {
  std::vector<Bytes> frames;
  for (uint32_t i = 0; i < 45; i++) frames.push_back(frame({5000 + 1448 * i, i < 44 ? 1448u : 300u,
                                                            static_cast<uint8_t>(i < 44 ? 0x10 : 0x18)}));
  std::vector<FrameBytes> views;
  std::vector<TapWrite> writes = plan(frames, &views);
  ASSERT_EQ(writes.size(), 1u);
  const TapWrite &w = writes[0];
  EXPECT_EQ(w.frames, 45u);
  EXPECT_EQ(w.vnet.flags, kVnetNeedsCsum);
  EXPECT_EQ(w.vnet.gso_type, 1);
  EXPECT_EQ(w.vnet.gso_size, 1448);
  EXPECT_EQ(w.vnet.hdr_len, 14 + 20 + 32);
  EXPECT_EQ(w.vnet.csum_start, 34);
  EXPECT_EQ(w.vnet.csum_offset, 16);

  std::vector<iovec> iov(2 + w.frames);
  size_t parts = tap_write_iov(w, views.data(), iov.data());
  Bytes whole;
  for (size_t k = 1; k < parts; k++) {
    auto *p = static_cast<const uint8_t *>(iov[k].iov_base);
    whole.insert(whole.end(), p, p + iov[k].iov_len);
  }
  const uint8_t *ip = whole.data() + 14, *tcp = ip + 20;
  EXPECT_EQ(load_be16(ip + 2), whole.size() - 14);
  EXPECT_EQ(checksum_fold(checksum_add(0, ip, 20)), 0) << "IPv4 header checksum";
  EXPECT_EQ(tcp[13], 0x18) << "the last segment's PSH";
  EXPECT_EQ(load_be32(tcp + 4), 5000u) << "the first segment's sequence number";
  // The payloads follow one another as they were sent.
  size_t at = 14 + 20 + 32;
  for (const Bytes &f : frames) {
    ASSERT_TRUE(std::equal(f.begin() + 66, f.end(), whole.begin() + at));
    at += f.size() - 66;
  }
  EXPECT_EQ(at, whole.size());
  // The partial checksum completes to a valid one over the whole packet.
  uint16_t saved;
  ASSERT_TRUE(complete_partial_checksum(w.vnet, whole.data(), whole.size(), &saved));
  uint64_t sum = checksum_add(0, ip + 12, 8) + 6 + (whole.size() - 34);
  EXPECT_EQ(checksum_fold(checksum_add(sum, tcp, whole.size() - 34)), 0);
}

TEST(TapCoalesce, WhatBreaksARunStartsANewWrite) {
  struct Case {
    std::string what;
    std::function<void(std::vector<Seg> &)> vary;
    std::vector<size_t> runs;
  };
  const Case cases[] = {
      {"one stream", [](auto &) {}, {5}},
      {"a gap", [](auto &s) { s[2].seq += 1; }, {2, 1, 2}},
      // Segments of another connection that would continue the run.
      {"another source port", [](auto &s) { s[3].sport = 8; }, {3, 1, 1}},
      {"another destination port", [](auto &s) { s[3].dport = 40002; }, {3, 1, 1}},
      {"another source address", [](auto &s) { s[3].src_host = 11; }, {3, 1, 1}},
      {"another destination address", [](auto &s) { s[3].dst_host = 3; }, {3, 1, 1}},
      {"a shorter segment ends it", [](auto &s) { s[1].len = 500; s[2].seq -= 500; s[3].seq -= 500; s[4].seq -= 500; }, {2, 3}},
      {"a longer one cannot join", [](auto &s) { s[1].len = 1200; s[2].seq += 200; s[3].seq += 200; s[4].seq += 200; }, {1, 2, 2}},
      {"PSH ends it", [](auto &s) { s[1].flags = 0x18; }, {2, 3}},
      {"other options", [](auto &s) { s[3].tsval = 2; }, {3, 1, 1}},
      {"FIN", [](auto &s) { s[4].flags = 0x11; }, {4, 1}},
      {"SYN", [](auto &s) { s[0].flags = 0x12; }, {1, 4}},
      {"not TCP", [](auto &s) { s[2].proto = 17; }, {2, 1, 2}},
      {"a fragment", [](auto &s) { s[2].frag = 0x2000; }, {2, 1, 2}},
      {"no bytes", [](auto &s) { s[0].len = 0; s[0].seq = s[1].seq; }, {1, 4}},
  };
  for (const Case &c : cases) EXPECT_EQ(runs(c.vary), c.runs) << c.what;
}

TEST(TapCoalesce, ARunStaysWithinTheLargestIpv4Packet) {
  std::vector<Bytes> frames;
  for (uint32_t i = 0; i < 60; i++) frames.push_back(frame({1448 * i, 1448}));
  std::vector<FrameBytes> views;
  size_t total = 0;
  for (const TapWrite &w : plan(frames, &views)) {
    EXPECT_LE(20 + 32 + 1448 * w.frames, 65535u);
    total += w.frames;
  }
  EXPECT_EQ(total, 60u);
}

}  // namespace
