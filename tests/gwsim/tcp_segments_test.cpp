// The tunnel device's offloads in the gateway simulator: a large TCP frame
// is cut into the segments a card would send, the segments opened from one
// batch are joined into one frame, and cutting a joined frame gives back
// the segments.
#include "tools/gwsim/tcp_segments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "offload/checksum.h"
#include "tests/packetpath/frames.h"

namespace gwsim {
namespace {

using pp::Bytes;

constexpr uint8_t kAck = 0x10, kPsh = 0x08, kFin = 0x01, kSyn = 0x02, kCwr = 0x80;
const Bytes kTimestamps = {1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 2};

Bytes Data(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 31 + seed + i / 253);
  return b;
}

pp::Tcp Segment(uint32_t seq, const Bytes &data, uint8_t flags = kAck) {
  pp::Tcp t;
  t.seq = seq;
  t.ack = 777;
  t.flags = flags;
  t.options = kTimestamps;
  t.payload = data;
  return t;
}

Bytes Packet(const pp::Tcp &t, uint16_t id = 0x1234) {
  pp::Ip ip;
  ip.proto = 6;
  ip.id = id;
  ip.frag = 0x4000;
  return pp::Ipv4(ip, pp::TcpSegment(t));
}

// The device's frame: the virtio-net header, then the packet.
Bytes DeviceFrame(const VnetHeader &v, const Bytes &ip) {
  Bytes f(sizeof v + ip.size());
  memcpy(f.data(), &v, sizeof v);
  std::copy(ip.begin(), ip.end(), f.begin() + sizeof v);
  return f;
}

// A large TCP frame cut at seg, its checksum left to the card as the stack
// leaves it: the pseudo-header's sum.
Bytes TsoFrame(const pp::Tcp &t, uint16_t seg) {
  Bytes ip = Packet(t);
  const uint32_t thl = 20 + (uint32_t)t.options.size();
  store_be16(&ip[20 + 16], pp::InetSum(&ip[12], 8, 6 + (uint32_t)(ip.size() - 20)));
  VnetHeader v{zor::offload::kVnetNeedsCsum, kVnetGsoTcpV4, (uint16_t)(20 + thl), seg, 20, 16};
  return DeviceFrame(v, ip);
}

// The packets of a planned frame, each behind a plain IPv4 header.
std::vector<Bytes> CutPayloads(Bytes &frame, TunFrame *f) {
  std::vector<Bytes> out;
  if (!PlanFrame(frame.data(), frame.size(), f)) return out;
  for (uint32_t i = 0; i < f->count; i++) {
    Bytes p(PacketPayloadLen(*f, i));
    PutPacketPayload(*f, i, p.data());
    out.push_back(p);
  }
  return out;
}

TEST(TcpSegments, ALargeFrameIsCutAsACardWouldCutIt) {
  const Bytes data = Data(10000, 3);
  Bytes frame = TsoFrame(Segment(5000, data, kAck | kPsh | kFin | kCwr), 1448);
  TunFrame f;
  std::vector<Bytes> parts = CutPayloads(frame, &f);
  ASSERT_EQ(parts.size(), 7u);
  Bytes joined;
  for (uint32_t i = 0; i < parts.size(); i++) {
    const Bytes &p = parts[i];
    const bool last = i + 1 == parts.size();
    EXPECT_EQ(p.size(), 32u + (last ? 10000 - 6 * 1448 : 1448)) << i;
    EXPECT_EQ(load_be32(&p[4]), 5000 + 1448 * i) << i;
    EXPECT_EQ(p[13], last ? (kAck | kPsh | kFin) : i == 0 ? (kAck | kCwr) : kAck) << i;
    EXPECT_EQ(PacketId(f, i), 0x1234 + i) << i;
    EXPECT_TRUE(std::equal(kTimestamps.begin(), kTimestamps.end(), p.begin() + 20)) << i;
    pp::Ip ip;
    ip.proto = 6;
    Bytes packet = pp::Ipv4(ip, p);  // fills in a checksum of its own
    memcpy(&packet[20], p.data(), p.size());
    EXPECT_TRUE(pp::TransportChecksumOk(packet.data())) << "segment " << i;
    joined.insert(joined.end(), p.begin() + 32, p.end());
  }
  EXPECT_EQ(joined, data);
}

TEST(TcpSegments, AFrameThatIsNotCutKeepsItsBytesWithItsChecksumCompleted) {
  const Bytes whole = Packet(Segment(1, Data(300, 9), kAck | kPsh));
  Bytes ip = whole;
  store_be16(&ip[20 + 16], pp::InetSum(&ip[12], 8, 6 + (uint32_t)(ip.size() - 20)));
  Bytes frame = DeviceFrame({zor::offload::kVnetNeedsCsum, kVnetGsoNone, 0, 0, 20, 16}, ip);
  TunFrame f;
  std::vector<Bytes> parts = CutPayloads(frame, &f);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0], Bytes(whole.begin() + 20, whole.end()));
  EXPECT_EQ(PacketId(f, 0), 0x1234);
}

TEST(TcpSegments, FramesThatCannotBeCarriedAreRefused) {
  const Bytes good = TsoFrame(Segment(1, Data(4, 1)), 2);
  struct Case {
    const char *what;
    size_t at;      // byte of the frame changed (past the 10-byte header: the packet's)
    uint8_t value;
    size_t cut;     // bytes taken off the end
  } cases[] = {
      {"IPv6", 10, 0x65, 0},
      {"header below 20 bytes", 10, 0x44, 0},
      {"total length past the frame", 12, 0x20, 0},
      {"UDP segmentation type", 1, 3, 0},
      {"segmentation of a UDP packet", 10 + 9, 17, 0},
      {"TCP header past the packet", 10 + 32, 0xF0, 0},
      {"segment size 0", 4, 0, 0},
      {"shorter than an IPv4 header", 0, 0, good.size() - 25},
  };
  for (const Case &c : cases) {
    Bytes frame = good;
    if (c.at == 4) frame[5] = 0;  // both bytes of the segment size
    frame[c.at] = c.value;
    frame.resize(frame.size() - c.cut);
    TunFrame f;
    EXPECT_FALSE(PlanFrame(frame.data(), frame.size(), &f)) << c.what;
  }
  Bytes partial_past = DeviceFrame({zor::offload::kVnetNeedsCsum, kVnetGsoNone, 0, 0, 20, 400},
                                   Packet(Segment(1, Data(100, 2))));
  TunFrame f;
  EXPECT_FALSE(PlanFrame(partial_past.data(), partial_past.size(), &f)) << "checksum past the end";
}

// The bytes of write w of a joiner.
Bytes Written(const SegmentJoiner &j, size_t w) {
  Bytes b;
  const TunWrite &tw = j.writes()[w];
  for (uint32_t k = 0; k < tw.count; k++) {
    const iovec &v = j.iov()[tw.first + k];
    b.insert(b.end(), (uint8_t *)v.iov_base, (uint8_t *)v.iov_base + v.iov_len);
  }
  return b;
}

std::vector<Bytes> Segments(uint32_t count, uint32_t size, uint32_t last) {
  std::vector<Bytes> s;
  for (uint32_t i = 0; i < count; i++)
    s.push_back(Packet(Segment(9000 + i * size, Data(i + 1 == count ? last : size, (uint8_t)i)),
                       (uint16_t)(40 + i)));
  return s;
}

TEST(TcpSegments, JoinedSegmentsCutAgainAreTheSegments) {
  std::vector<Bytes> segs = Segments(6, 1400, 777), kept = segs;
  segs[5][20 + 13] |= kPsh;
  pp::Reseal(segs[5].data());
  kept[5] = segs[5];
  SegmentJoiner j;
  for (Bytes &s : segs) j.Add(s.data(), (uint32_t)s.size());
  j.Close();
  ASSERT_EQ(j.writes().size(), 1u);
  const VnetHeader &v = j.writes()[0].vnet;
  EXPECT_EQ(v.gso_type, kVnetGsoTcpV4);
  EXPECT_EQ(v.gso_size, 1400);
  EXPECT_EQ(v.flags, zor::offload::kVnetNeedsCsum);
  Bytes ip = Written(j, 0);
  EXPECT_EQ(ip.size(), 20 + 32 + 5 * 1400 + 777u);
  EXPECT_EQ(load_be16(&ip[2]), ip.size());
  EXPECT_EQ(load_be16(&ip[4]), 40) << "the first packet's identification";
  EXPECT_TRUE(pp::IpChecksumOk(ip.data()));
  EXPECT_EQ(ip[20 + 13], kAck | kPsh) << "the last packet's PSH";
  Bytes completed = ip;
  uint16_t saved;
  ASSERT_TRUE(zor::offload::complete_partial_checksum(v, completed.data(), completed.size(), &saved));
  EXPECT_TRUE(pp::TransportChecksumOk(completed.data())) << "what the stack completes verifies";

  Bytes frame = DeviceFrame(v, ip);
  TunFrame f;
  std::vector<Bytes> again = CutPayloads(frame, &f);
  ASSERT_EQ(again.size(), kept.size());
  for (size_t i = 0; i < kept.size(); i++)
    EXPECT_EQ(again[i], Bytes(kept[i].begin() + 20, kept[i].end())) << "segment " << i;
}

TEST(TcpSegments, PacketsThatDoNotContinueTheFrameStartANewOne) {
  struct Case {
    const char *what;
    size_t packet;  // which of the two
    size_t at;      // IPv4 packet byte changed
    uint8_t value;
  } cases[] = {
      {"another source port", 1, 20 + 1, 0x99},
      {"a gap in the sequence", 1, 20 + 7, 0x01},
      {"another acknowledgement", 1, 20 + 11, 0x55},
      {"another window", 1, 20 + 15, 0x00},
      {"other options", 1, 20 + 27, 0x77},
      {"PSH on the first", 0, 20 + 13, kAck | kPsh},
      {"SYN on the second", 1, 20 + 13, kAck | kSyn},
      {"no ACK on the second", 1, 20 + 13, 0},
      {"another TTL", 1, 8, 3},
      {"another TOS", 1, 1, 0x10},
      {"no DF on the second", 1, 6, 0x00},
      {"another destination", 1, 19, 0x0B},
      {"UDP", 1, 9, 17},
  };
  for (const Case &c : cases) {
    std::vector<Bytes> segs = Segments(2, 1000, 1000);
    segs[c.packet][c.at] = c.value;
    std::vector<Bytes> kept = segs;
    SegmentJoiner j;
    for (Bytes &s : segs) j.Add(s.data(), (uint32_t)s.size());
    j.Close();
    ASSERT_EQ(j.writes().size(), 2u) << c.what;
    for (size_t w = 0; w < 2; w++) {
      EXPECT_EQ(j.writes()[w].vnet.gso_type, kVnetGsoNone) << c.what;
      EXPECT_EQ(Written(j, w), kept[w]) << c.what << ": a packet written alone is unchanged";
    }
  }
}

TEST(TcpSegments, FramesEndAfterAShorterSegmentAndWithinTheirLimits) {
  auto counts = [](std::vector<Bytes> segs) {
    SegmentJoiner j;
    for (Bytes &s : segs) j.Add(s.data(), (uint32_t)s.size());
    j.Close();
    std::vector<uint32_t> n;
    for (const TunWrite &w : j.writes()) n.push_back(w.count);
    uint32_t total = 0;
    for (size_t w = 0; w < j.writes().size(); w++) {
      EXPECT_LE(Written(j, w).size(), 65535u);
      total += j.writes()[w].count;
    }
    EXPECT_EQ(total, segs.size());
    return n;
  };
  std::vector<Bytes> shorter = Segments(3, 1000, 500), more = Segments(2, 1000, 1000);
  for (Bytes &s : more) {
    store_be32(&s[20 + 4], load_be32(&s[20 + 4]) + 2500);
    pp::Reseal(s.data());
  }
  shorter.insert(shorter.end(), more.begin(), more.end());
  EXPECT_EQ(counts(shorter), (std::vector<uint32_t>{3, 2}));
  EXPECT_EQ(counts(Segments(70, 200, 200)), (std::vector<uint32_t>{kMaxJoined, 70 - kMaxJoined}));
  EXPECT_EQ(counts(Segments(50, 1448, 1448)), (std::vector<uint32_t>{45, 5}));
}

}  // namespace
}  // namespace gwsim
