// The tunnel device's offloads in the gateway simulator: a large TCP frame
// is cut into the segments a card would send, and a run of segments
// written to the device cut so gives back the segments.
#include "tools/gwsim/tcp_segments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "offload/checksum.h"
#include "offload/coalesce.h"
#include "tests/offload/runs.h"
#include "tests/packetpath/frames.h"

namespace gwsim {
namespace {

using pp::Bytes;
using zor::offload::DeviceWrite;
using zor::offload::FrameBytes;
using zor::offload::kVnetGsoNone;
using zor::offload::kVnetGsoTcpv4;
using zor::offload::kVnetNeedsCsum;
using zor::offload::Link;
using zor::offload::plan_writes;

constexpr uint8_t kAck = 0x10, kPsh = 0x08, kFin = 0x01, kCwr = 0x80;
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
  VnetHeader v{kVnetNeedsCsum, kVnetGsoTcpv4, (uint16_t)(20 + thl), seg, 20, 16};
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
  Bytes frame = DeviceFrame({kVnetNeedsCsum, kVnetGsoNone, 0, 0, 20, 16}, ip);
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
  Bytes partial_past = DeviceFrame({kVnetNeedsCsum, kVnetGsoNone, 0, 0, 20, 400},
                                   Packet(Segment(1, Data(100, 2))));
  TunFrame f;
  EXPECT_FALSE(PlanFrame(partial_past.data(), partial_past.size(), &f)) << "checksum past the end";
}

// A run of segments written to the TUN (offload/coalesce.h), which the
// simulator reads back as the stack hands a large frame over.
TEST(TcpSegments, ARunWrittenToTheDeviceCutsBackIntoTheSegments) {
  std::vector<Bytes> segs;
  for (uint32_t i = 0; i < 6; i++)
    segs.push_back(Packet(Segment(9000 + i * 1400, Data(i == 5 ? 777 : 1400, (uint8_t)i),
                                  i == 5 ? kAck | kPsh : kAck),
                          (uint16_t)(40 + i)));
  std::vector<FrameBytes> views;
  for (const Bytes &p : segs) views.push_back({p.data(), p.size()});
  const std::vector<DeviceWrite> writes =
      plan_writes(views.data(), views.size(), Link::kNone, true);
  ASSERT_EQ(writes.size(), 1u);
  const DeviceWrite &w = writes[0];
  EXPECT_EQ(w.vnet.gso_type, kVnetGsoTcpv4);
  EXPECT_EQ(w.vnet.gso_size, 1400);
  Bytes frame = DeviceFrame(w.vnet, runs::written(w, views.data()));
  EXPECT_EQ(load_be16(&frame[sizeof(VnetHeader) + 4]), 40) << "the first packet's identification";
  TunFrame f;
  std::vector<Bytes> again = CutPayloads(frame, &f);
  ASSERT_EQ(again.size(), segs.size());
  for (size_t i = 0; i < segs.size(); i++) {
    EXPECT_EQ(again[i], Bytes(segs[i].begin() + 20, segs[i].end())) << "segment " << i;
    EXPECT_EQ(PacketId(f, i), 40 + i) << "segment " << i;
  }
}

}  // namespace
}  // namespace gwsim
