// Coalescing of the TCP segments and UDP datagrams zornfhost writes to the
// TAP: a run of one flow leaves as one write that, cut at its segment size,
// gives back each segment's bytes and whose partial checksum completes to a
// valid one; anything that breaks the run starts a new write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "byte_order.h"
#include "host/checksum.h"
#include "host/tap_coalesce.h"
#include "tests/host/tap_runs.h"

namespace {

using namespace zornfhost;
using Bytes = std::vector<uint8_t>;
using tap_runs::cut_udp_run;
using tap_runs::Datagram;
using tap_runs::written;

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
  return plan_tap_writes(views->data(), views->size(), true);
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

  Bytes whole = written(w, views.data());
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


std::vector<Bytes> udp_stream(const std::vector<Datagram> &ds) {
  std::vector<Bytes> out;
  for (const Datagram &d : ds) out.push_back(tap_runs::frame(d));
  return out;
}

TEST(TapCoalesce, AUdpRunLeavesAsOneWriteThatTheKernelCutsBackIntoItsDatagrams) {
  std::vector<Datagram> ds;
  for (uint16_t i = 0; i < 40; i++)
    ds.push_back({static_cast<uint16_t>(65530 + i), i < 39 ? 1200u : 700u});
  const std::vector<Bytes> frames = udp_stream(ds);
  std::vector<FrameBytes> views;
  const std::vector<TapWrite> writes = plan(frames, &views);
  ASSERT_EQ(writes.size(), 1u);
  const TapWrite &w = writes[0];
  EXPECT_EQ(w.frames, 40u);
  EXPECT_EQ(w.vnet.flags, kVnetNeedsCsum);
  EXPECT_EQ(w.vnet.gso_type, 5);
  EXPECT_EQ(w.vnet.gso_size, 1200);
  EXPECT_EQ(w.vnet.hdr_len, 14 + 20 + 8);
  EXPECT_EQ(w.vnet.csum_start, 34);
  EXPECT_EQ(w.vnet.csum_offset, 6);
  // The pieces: the head, then each datagram's payload where it lies.
  std::vector<iovec> iov(2 + w.frames);
  ASSERT_EQ(tap_write_iov(w, views.data(), iov.data()), 2 + w.frames);
  EXPECT_EQ(iov[0].iov_base, &w.vnet);
  EXPECT_EQ(iov[1].iov_base, w.head);
  for (size_t k = 0; k < w.frames; k++) {
    EXPECT_EQ(iov[2 + k].iov_base, views[k].data + 42);
    EXPECT_EQ(iov[2 + k].iov_len, views[k].len - 42);
  }
  // The head is a whole packet's: lengths and IPv4 checksum of the run.
  const Bytes whole = written(w, views.data());
  const uint8_t *ip = whole.data() + 14, *udp = ip + 20;
  EXPECT_EQ(load_be16(ip + 2), whole.size() - 14);
  EXPECT_EQ(load_be16(ip + 4), 65530) << "the first datagram's identification";
  EXPECT_EQ(checksum_fold(checksum_add(0, ip, 20)), 0) << "IPv4 header checksum";
  EXPECT_EQ(load_be16(udp + 4), whole.size() - 34);
  EXPECT_EQ(cut_udp_run(w.vnet, whole), frames) << "each piece the datagram sent";
}

// The run counts of the writes for datagrams made by `vary` from a stream
// of five 1000-byte datagrams of one flow.
std::vector<size_t> udp_runs(const std::function<void(std::vector<Datagram> &)> &vary,
                             bool udp = true) {
  std::vector<Datagram> ds;
  for (uint16_t i = 0; i < 5; i++) ds.push_back({static_cast<uint16_t>(300 + i), 1000});
  vary(ds);
  const std::vector<Bytes> frames = udp_stream(ds);
  std::vector<FrameBytes> views;
  for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
  std::vector<size_t> out;
  for (const TapWrite &w : plan_tap_writes(views.data(), views.size(), udp))
    out.push_back(w.frames);
  return out;
}

TEST(TapCoalesce, WhatBreaksAUdpRunStartsANewWrite) {
  struct Case {
    std::string what;
    std::function<void(std::vector<Datagram> &)> vary;
    std::vector<size_t> runs;
  };
  const Case cases[] = {
      {"one flow", [](auto &) {}, {5}},
      {"another source port", [](auto &d) { d[3].sport = 4001; }, {3, 1, 1}},
      {"another destination port", [](auto &d) { d[3].dport = 5001; }, {3, 1, 1}},
      {"another source address", [](auto &d) { d[3].src_host = 3; }, {3, 1, 1}},
      {"another destination address", [](auto &d) { d[3].dst_host = 4; }, {3, 1, 1}},
      {"another Ethernet header", [](auto &d) { d[3].dst_mac_last = 7; }, {3, 1, 1}},
      {"another TTL", [](auto &d) { d[3].ttl = 63; }, {3, 1, 1}},
      {"a shorter datagram ends it", [](auto &d) { d[1].len = 500; }, {2, 3}},
      {"a longer one cannot join", [](auto &d) { d[1].len = 1200; }, {1, 2, 2}},
      {"an identification out of turn", [](auto &d) { d[2].id = 900; }, {2, 1, 2}},
      {"DF: identifications as they come",
       [](auto &d) { for (auto &x : d) x.frag = 0x4000, x.id = 0; }, {5}},
      {"a wrong UDP checksum", [](auto &d) { d[2].udp_csum_xor = 0x0100; }, {2, 1, 2}},
      {"a wrong UDP checksum on the first", [](auto &d) { d[0].udp_csum_xor = 1; }, {1, 4}},
      {"no UDP checksum", [](auto &d) { d[2].no_udp_csum = true; }, {2, 1, 2}},
      {"a wrong IPv4 header checksum", [](auto &d) { d[2].ip_csum_xor = 0x8000; }, {2, 1, 2}},
      {"a UDP length short of the packet", [](auto &d) { d[2].udp_len_delta = -2; }, {2, 1, 2}},
      {"a fragment", [](auto &d) { d[2].frag = 0x2000; }, {2, 1, 2}},
      {"no payload", [](auto &d) { d[2].len = 0; }, {2, 1, 2}},
  };
  for (const Case &c : cases) EXPECT_EQ(udp_runs(c.vary), c.runs) << c.what;
  EXPECT_EQ(udp_runs([](auto &) {}, false), std::vector<size_t>(5, 1)) << "UDP runs not asked for";
}

TEST(TapCoalesce, AUdpRunStaysWithinTheLargestIpv4PacketAndTheKernelsSegmentCount) {
  struct Case {
    size_t count, len;
    std::vector<size_t> runs;
  };
  // 46 x 1400 bytes is the most below 64 KiB; 64 datagrams the most a kernel
  // takes in one run.
  const Case cases[] = {{60, 1400, {46, 14}}, {100, 100, {64, 36}}};
  for (const Case &c : cases) {
    std::vector<Datagram> ds;
    for (uint16_t i = 0; i < c.count; i++) ds.push_back({i, c.len});
    const std::vector<Bytes> frames = udp_stream(ds);
    std::vector<FrameBytes> views;
    std::vector<size_t> runs;
    for (const TapWrite &w : plan(frames, &views)) runs.push_back(w.frames);
    EXPECT_EQ(runs, c.runs) << c.len << "-byte datagrams";
  }
}

}  // namespace
