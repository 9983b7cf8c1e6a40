// Coalescing of the TCP segments and UDP datagrams written to a TAP (behind
// Ethernet) or a TUN (bare packets): a run of one flow leaves as one write
// that, cut at its segment size, gives back each packet's bytes and whose
// partial checksum completes to a valid one; anything that breaks the run
// starts a new write, and a packet written alone is written as it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "byte_order.h"
#include "offload/checksum.h"
#include "offload/coalesce.h"
#include "tests/offload/runs.h"

namespace {

using namespace zor::offload;
using runs::Bytes;
using runs::cut_udp_run;
using runs::Datagram;
using runs::for_link;
using runs::Segment;
using runs::written;

const Link kLinks[] = {Link::kEthernet, Link::kNone};

std::string name(Link link) { return link == Link::kEthernet ? "TAP" : "TUN"; }

template <class Packet>
std::vector<Bytes> frames_of(const std::vector<Packet> &packets, Link link) {
  std::vector<Bytes> out;
  for (const Packet &p : packets) out.push_back(for_link(link, runs::frame(p)));
  return out;
}

std::vector<DeviceWrite> plan(const std::vector<Bytes> &frames, Link link,
                              std::vector<FrameBytes> *views, bool udp_runs = true) {
  views->clear();
  for (const Bytes &f : frames) views->push_back({f.data(), f.size()});
  return plan_writes(views->data(), views->size(), link, udp_runs);
}

// The frame counts of the writes; a frame written alone must leave as it
// is, behind an empty header.
std::vector<size_t> run_counts(const std::vector<Bytes> &frames, Link link,
                               bool udp_runs = true) {
  std::vector<FrameBytes> views;
  std::vector<size_t> out;
  for (const DeviceWrite &w : plan(frames, link, &views, udp_runs)) {
    out.push_back(w.frames);
    if (w.frames > 1) continue;
    EXPECT_EQ(w.vnet.gso_type, 0);
    EXPECT_EQ(written(w, views.data()), frames[w.first]) << "a frame written alone";
  }
  return out;
}

// The write is one run of `frames` behind a virtio-net header of
// `gso_type` cut at `gso_size`, `hdr_len` bytes of headers, the checksum
// partial from `csum_start` on.
void expect_run(const DeviceWrite &w, size_t frames, uint8_t gso_type, uint16_t gso_size,
                size_t hdr_len, size_t csum_start, uint16_t csum_offset) {
  EXPECT_EQ(w.frames, frames);
  EXPECT_EQ(w.vnet.flags, kVnetNeedsCsum);
  EXPECT_EQ(w.vnet.gso_type, gso_type);
  EXPECT_EQ(w.vnet.gso_size, gso_size);
  EXPECT_EQ(w.vnet.hdr_len, hdr_len);
  EXPECT_EQ(w.vnet.csum_start, csum_start);
  EXPECT_EQ(w.vnet.csum_offset, csum_offset);
}

// The frame counts of the writes for segments made by `vary` from a stream
// of five 1000-byte segments.
std::vector<size_t> runs_of(const std::function<void(std::vector<Segment> &)> &vary, Link link) {
  std::vector<Segment> segs;
  for (uint32_t i = 0; i < 5; i++) segs.push_back({1000 + 1000 * i, 1000});
  vary(segs);
  return run_counts(frames_of(segs, link), link);
}

TEST(Coalesce, ARunLeavesAsOneWriteThatCutsBackIntoItsSegments) {
  for (Link link : kLinks) {
    SCOPED_TRACE(name(link));
    const size_t l2 = static_cast<size_t>(link), hdr = l2 + 20 + 32;
    std::vector<Segment> segs;
    for (uint32_t i = 0; i < 45; i++)
      segs.push_back({5000 + 1448 * i, i < 44 ? 1448u : 300u,
                      static_cast<uint8_t>(i < 44 ? 0x10 : 0x18)});
    const std::vector<Bytes> frames = frames_of(segs, link);
    std::vector<FrameBytes> views;
    std::vector<DeviceWrite> writes = plan(frames, link, &views);
    ASSERT_EQ(writes.size(), 1u);
    const DeviceWrite &w = writes[0];
    expect_run(w, 45, kVnetGsoTcpv4, 1448, hdr, l2 + 20, 16);

    Bytes whole = written(w, views.data());
    EXPECT_TRUE(std::equal(frames[0].begin(), frames[0].begin() + l2, whole.begin()))
        << "the first frame's link header";
    const uint8_t *ip = whole.data() + l2, *tcp = ip + 20;
    EXPECT_EQ(load_be16(ip + 2), whole.size() - l2);
    EXPECT_EQ(checksum_fold(checksum_add(0, ip, 20)), 0) << "IPv4 header checksum";
    EXPECT_EQ(tcp[13], 0x18) << "the last segment's PSH";
    EXPECT_EQ(load_be32(tcp + 4), 5000u) << "the first segment's sequence number";
    // The payloads follow one another as they were sent.
    size_t at = hdr;
    for (const Bytes &f : frames) {
      ASSERT_TRUE(std::equal(f.begin() + hdr, f.end(), whole.begin() + at));
      at += f.size() - hdr;
    }
    EXPECT_EQ(at, whole.size());
    // The partial checksum completes to a valid one over the whole packet.
    uint16_t saved;
    ASSERT_TRUE(complete_partial_checksum(w.vnet, whole.data(), whole.size(), &saved));
    const size_t tcplen = whole.size() - l2 - 20;
    uint64_t sum = checksum_add(0, ip + 12, 8) + 6 + tcplen;
    EXPECT_EQ(checksum_fold(checksum_add(sum, tcp, tcplen)), 0);
  }
}

TEST(Coalesce, WhatBreaksARunStartsANewWrite) {
  struct Case {
    std::string what;
    std::function<void(std::vector<Segment> &)> vary;
    std::vector<size_t> runs;
    bool ethernet = false;  // a row of the link header
  };
  const Case cases[] = {
      {"one stream", [](auto &) {}, {5}},
      {"a gap", [](auto &s) { s[2].seq += 1; }, {2, 1, 2}},
      // Segments of another connection that would continue the run.
      {"another source port", [](auto &s) { s[3].sport = 8; }, {3, 1, 1}},
      {"another destination port", [](auto &s) { s[3].dport = 40002; }, {3, 1, 1}},
      {"another source address", [](auto &s) { s[3].src_host = 11; }, {3, 1, 1}},
      {"another destination address", [](auto &s) { s[3].dst_host = 3; }, {3, 1, 1}},
      {"another Ethernet header", [](auto &s) { s[3].dst_mac_last = 7; }, {3, 1, 1}, true},
      {"another acknowledgement", [](auto &s) { s[3].ack = 78; }, {3, 1, 1}},
      {"another window", [](auto &s) { s[3].window = 1024; }, {3, 1, 1}},
      {"another TTL", [](auto &s) { s[3].ttl = 63; }, {3, 1, 1}},
      {"another TOS", [](auto &s) { s[3].tos = 0x10; }, {3, 1, 1}},
      {"no DF", [](auto &s) { s[3].frag = 0; }, {3, 1, 1}},
      {"a shorter segment ends it", [](auto &s) { s[1].len = 500; s[2].seq -= 500; s[3].seq -= 500; s[4].seq -= 500; }, {2, 3}},
      {"a longer one cannot join", [](auto &s) { s[1].len = 1200; s[2].seq += 200; s[3].seq += 200; s[4].seq += 200; }, {1, 2, 2}},
      {"PSH ends it", [](auto &s) { s[1].flags = 0x18; }, {2, 3}},
      {"PSH on the first", [](auto &s) { s[0].flags = 0x18; }, {1, 4}},
      {"other options", [](auto &s) { s[3].tsval = 2; }, {3, 1, 1}},
      {"FIN", [](auto &s) { s[4].flags = 0x11; }, {4, 1}},
      {"SYN", [](auto &s) { s[0].flags = 0x12; }, {1, 4}},
      {"no ACK", [](auto &s) { s[3].flags = 0; }, {3, 1, 1}},
      {"not TCP", [](auto &s) { s[2].proto = 17; }, {2, 1, 2}},
      {"a fragment", [](auto &s) { s[2].frag = 0x2000; }, {2, 1, 2}},
      {"no bytes", [](auto &s) { s[0].len = 0; s[0].seq = s[1].seq; }, {1, 4}},
      // A segment the far host sent with a wrong checksum: in a run the
      // stack would take it, alone it drops it.
      {"a wrong TCP checksum", [](auto &s) { s[2].tcp_csum_xor = 0x0100; }, {2, 1, 2}},
      {"a wrong TCP checksum on the first", [](auto &s) { s[0].tcp_csum_xor = 1; }, {1, 4}},
      {"a wrong TCP checksum on the last", [](auto &s) { s[4].tcp_csum_xor = 0x8000; }, {4, 1}},
      {"a wrong IPv4 header checksum", [](auto &s) { s[2].ip_csum_xor = 0x8000; }, {2, 1, 2}},
  };
  for (Link link : kLinks)
    for (const Case &c : cases) {
      if (link == Link::kEthernet || !c.ethernet) {
        EXPECT_EQ(runs_of(c.vary, link), c.runs) << c.what << ", " << name(link);
      }
    }
}

TEST(Coalesce, ARunStaysWithinTheLargestIpv4PacketAndTheMostPackets) {
  struct Case {
    uint32_t count, len;
    std::vector<size_t> runs;
    uint32_t last = 0;  // the last segment's length, when not len
  };
  // 45 x 1448 bytes is the most below 64 KiB. 20 + 32 bytes of headers and
  // 45 x 1448 + 323 bytes of payload are the largest IPv4 packet, 65,535
  // bytes; one byte more starts a new run.
  const Case cases[] = {{60, 1448, {45, 15}},
                        {70, 200, {kRunPackets, 70 - kRunPackets}},
                        {46, 1448, {46}, 323},
                        {46, 1448, {45, 1}, 324}};
  for (Link link : kLinks)
    for (const Case &c : cases) {
      std::vector<Segment> segs;
      for (uint32_t i = 0; i < c.count; i++) segs.push_back({c.len * i, c.len});
      if (c.last) segs.back().len = c.last;
      EXPECT_EQ(run_counts(frames_of(segs, link), link), c.runs)
          << c.len << "-byte segments, the last of " << segs.back().len << ", " << name(link);
    }
}

TEST(Coalesce, AUdpRunLeavesAsOneWriteThatTheKernelCutsBackIntoItsDatagrams) {
  for (Link link : kLinks) {
    SCOPED_TRACE(name(link));
    const size_t l2 = static_cast<size_t>(link), hdr = l2 + 20 + 8;
    std::vector<Datagram> ds;
    for (uint16_t i = 0; i < 40; i++)
      ds.push_back({static_cast<uint16_t>(65530 + i), i < 39 ? 1200u : 700u});
    const std::vector<Bytes> frames = frames_of(ds, link);
    std::vector<FrameBytes> views;
    const std::vector<DeviceWrite> writes = plan(frames, link, &views);
    ASSERT_EQ(writes.size(), 1u);
    const DeviceWrite &w = writes[0];
    expect_run(w, 40, kVnetGsoUdpL4, 1200, hdr, l2 + 20, 6);
    // The pieces: the head, then each datagram's payload where it lies.
    std::vector<iovec> iov(2 + w.frames);
    ASSERT_EQ(write_iov(w, views.data(), iov.data()), 2 + w.frames);
    EXPECT_EQ(iov[0].iov_base, &w.vnet);
    EXPECT_EQ(iov[1].iov_base, w.head);
    for (size_t k = 0; k < w.frames; k++) {
      EXPECT_EQ(iov[2 + k].iov_base, views[k].data + hdr);
      EXPECT_EQ(iov[2 + k].iov_len, views[k].len - hdr);
    }
    // The head is a whole packet's: lengths and IPv4 checksum of the run.
    const Bytes whole = written(w, views.data());
    const uint8_t *ip = whole.data() + l2, *udp = ip + 20;
    EXPECT_EQ(load_be16(ip + 2), whole.size() - l2);
    EXPECT_EQ(load_be16(ip + 4), 65530) << "the first datagram's identification";
    EXPECT_EQ(checksum_fold(checksum_add(0, ip, 20)), 0) << "IPv4 header checksum";
    EXPECT_EQ(load_be16(udp + 4), whole.size() - l2 - 20);
    EXPECT_EQ(cut_udp_run(w.vnet, whole, link), frames) << "each piece the datagram sent";
  }
}

// The frame counts of the writes for datagrams made by `vary` from a
// stream of five 1000-byte datagrams of one flow.
std::vector<size_t> udp_runs_of(const std::function<void(std::vector<Datagram> &)> &vary,
                                Link link, bool udp_runs = true) {
  std::vector<Datagram> ds;
  for (uint16_t i = 0; i < 5; i++) ds.push_back({static_cast<uint16_t>(300 + i), 1000});
  vary(ds);
  return run_counts(frames_of(ds, link), link, udp_runs);
}

TEST(Coalesce, WhatBreaksAUdpRunStartsANewWrite) {
  struct Case {
    std::string what;
    std::function<void(std::vector<Datagram> &)> vary;
    std::vector<size_t> runs;
    bool ethernet = false;  // a row of the link header
  };
  const Case cases[] = {
      {"one flow", [](auto &) {}, {5}},
      {"another source port", [](auto &d) { d[3].sport = 4001; }, {3, 1, 1}},
      {"another destination port", [](auto &d) { d[3].dport = 5001; }, {3, 1, 1}},
      {"another source address", [](auto &d) { d[3].src_host = 3; }, {3, 1, 1}},
      {"another destination address", [](auto &d) { d[3].dst_host = 4; }, {3, 1, 1}},
      {"another Ethernet header", [](auto &d) { d[3].dst_mac_last = 7; }, {3, 1, 1}, true},
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
  for (Link link : kLinks) {
    for (const Case &c : cases) {
      if (link == Link::kEthernet || !c.ethernet) {
        EXPECT_EQ(udp_runs_of(c.vary, link), c.runs) << c.what << ", " << name(link);
      }
    }
    EXPECT_EQ(udp_runs_of([](auto &) {}, link, false), std::vector<size_t>(5, 1))
        << "UDP runs not asked for, " << name(link);
  }
}

TEST(Coalesce, AUdpRunStaysWithinTheLargestIpv4PacketAndTheKernelsSegmentCount) {
  struct Case {
    size_t count, len;
    std::vector<size_t> runs;
    size_t last = 0;  // the last datagram's length, when not len
  };
  // 46 x 1400 bytes is the most below 64 KiB; 64 datagrams the most a kernel
  // takes in one run. 20 + 8 bytes of headers and 46 x 1400 + 1107 bytes of
  // payload are the largest IPv4 packet, 65,535 bytes; one byte more starts
  // a new run.
  const Case cases[] = {{60, 1400, {46, 14}},
                        {100, 100, {64, 36}},
                        {47, 1400, {47}, 1107},
                        {47, 1400, {46, 1}, 1108}};
  for (Link link : kLinks)
    for (const Case &c : cases) {
      std::vector<Datagram> ds;
      for (uint16_t i = 0; i < c.count; i++) ds.push_back({i, c.len});
      if (c.last) ds.back().len = c.last;
      EXPECT_EQ(run_counts(frames_of(ds, link), link), c.runs)
          << c.len << "-byte datagrams, the last of " << ds.back().len << ", " << name(link);
    }
}

}  // namespace
