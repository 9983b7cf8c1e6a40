// The gateway simulator's data side with 1 to 4 workers against the inline
// path on the same inputs, in both protection modes: batches of random
// lengths from the client and from the tunnel device, a key change inside a
// batch, a handshake datagram among data. The side runs between real
// sockets: UDP on loopback for the client, a socket pair for the device.
#include "tools/gwsim/data_side.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "kernel/filter/wire_format.h"
#include "offload/checksum.h"
#include "tests/offload/runs.h"
#include "tests/packetpath/frames.h"

namespace gwsim {
namespace {

using pp::Bytes;
using zor::wire::As;
using zor::wire::DataHead;

constexpr uint32_t kFar = pp::kCorpIp;
// The client's address as the side sees it: the loopback source of its
// datagrams, which its packets carry too.
constexpr uint32_t kClient = INADDR_LOOPBACK;
const unsigned kWorkerCounts[] = {1, 2, 3, 4};

TunnelSession TestSession(bool mgm) {
  TunnelSession s;
  for (int i = 0; i < 32; i++) {
    s.to_client[i] = (uint8_t)(i + 1);
    s.from_client[i] = (uint8_t)(3 * i + 7);
    s.client_master[i] = (uint8_t)(5 * i + 11);
  }
  for (int i = 0; i < 16; i++) {
    s.gw_nonce[i] = (uint8_t)(0xA0 + i);
    s.client_nonce[i] = (uint8_t)(0x50 + i);
  }
  s.session_id = 0x01020304;
  s.mgm = mgm;
  return s;
}

// The client's end of the session: its data datagrams and key changes, and
// the opening of what the gateway sends.
class ClientEnd {
 public:
  explicit ClientEnd(const TunnelSession &s) : s_(s) {
    memcpy(send_master_, s.client_master, 32);
    memcpy(recv_master_, s.to_client, 32);
  }
  // The data datagram for an IPv4 packet to the far side.
  Bytes Data(const Bytes &ip) {
    Bytes d(sizeof(DataHead) + ip.size() - 20);
    DataHead *h = As<DataHead>(d.data());
    h->type = zor::wire::kData;
    h->key_gen = gen_;
    h->counter = counter_;
    h->session_id = s_.session_id;
    memcpy(h->far_addr, &ip[16], 4);
    h->inner_id = load_be16(&ip[4]);
    h->inner_proto = ip[9];
    memcpy(d.data() + sizeof(DataHead), ip.data() + 20, ip.size() - 20);
    uint8_t key[32];
    GuardPacketKey(send_master_, s_.from_client, GuardKeyIndex(counter_), key);
    GuardSealData(d.data(), (uint32_t)d.size(), key, counter_, s_.gw_nonce, s_.mgm);
    counter_ += GuardCounterSpan((uint32_t)d.size());
    return d;
  }
  // A key change of the client's direction; its data goes under the new key.
  Bytes KeyChange() {
    Bytes b(sizeof(zor::wire::KeyChange));
    auto *kc = As<zor::wire::KeyChange>(b.data());
    kc->h.magic = zor::wire::kMagic;
    kc->h.type = zor::wire::kKeyChange;
    kc->h.variant = s_.variant;
    kc->h.session_id = s_.session_id;
    memcpy(kc->h.nonce, s_.gw_nonce, 16);
    kc->key_gen = ++gen_;
    for (int i = 0; i < 32; i++) send_master_[i] = (uint8_t)(send_master_[i] * 7 + 1);
    memcpy(kc->new_master, send_master_, 32);
    GuardSealControl(b.data(), (uint32_t)b.size(), s_.from_client);
    counter_ = 0;
    return b;
  }
  // The inner payload of a datagram of the gateway, when it is data; key
  // changes of the gateway are followed.
  bool Open(Bytes d, Bytes *payload) {
    uint8_t type = zor::wire::PacketTypeOf(d.data());
    if (type == zor::wire::kKeyChange) {
      EXPECT_EQ(GuardOpenControl(d.data(), (uint32_t)d.size(), s_.to_client), 1u);
      memcpy(recv_master_, As<zor::wire::KeyChange>(d.data())->new_master, 32);
      return false;
    }
    if (type != zor::wire::kData) return false;
    uint32_t counter = As<DataHead>(d.data())->counter;
    uint8_t key[32];
    GuardPacketKey(recv_master_, s_.from_client, GuardKeyIndex(counter), key);
    EXPECT_EQ(GuardOpenData(d.data(), (uint32_t)d.size(), key, counter, s_.client_nonce, s_.mgm),
              1u);
    payload->assign(d.begin() + sizeof(DataHead), d.end());
    return true;
  }

 private:
  TunnelSession s_;
  uint8_t send_master_[32], recv_master_[32];
  uint32_t counter_ = 0;
  uint8_t gen_ = 0;
};

int Bound(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
  return fd;
}

void Roomy(int fd) {
  int size = 16 << 20;
  for (int opt : {SO_RCVBUFFORCE, SO_SNDBUFFORCE})
    if (setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size) != 0)
      setsockopt(fd, SOL_SOCKET, opt == SO_RCVBUFFORCE ? SO_RCVBUF : SO_SNDBUF, &size, sizeof size);
}

bool Readable(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

// A DataSide between a client socket and a device socket pair.
class Loop {
 public:
  Loop(unsigned workers, const TunnelSession &s) {
    gw_ = Bound(SOCK_DGRAM);
    client_ = Bound(SOCK_DGRAM);
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, dev_), 0);
    for (int fd : {gw_, client_, dev_[0], dev_[1]}) Roomy(fd);
    EnableReceiveCoalescing(gw_);
    SetPathMtuMode(gw_, IP_PMTUDISC_WANT);
    side_ = std::make_unique<DataSide>(DataConfig{gw_, dev_[0], workers});
    socklen_t len = sizeof client_addr_;
    getsockname(client_, (sockaddr *)&client_addr_, &len);
    len = sizeof gw_addr_;
    getsockname(gw_, (sockaddr *)&gw_addr_, &len);
    side_->StartSession(s, client_addr_);
  }
  ~Loop() {
    side_.reset();
    for (int fd : {gw_, client_, dev_[0], dev_[1]}) close(fd);
  }
  DataSide &side() { return *side_; }

  // The client sends the datagrams; the side takes them until none is left
  // for 20 ms.
  void FromClient(const std::vector<Bytes> &datagrams,
                  const DataSide::Handshake &handshake = Unexpected) {
    for (const Bytes &d : datagrams)
      ASSERT_EQ(sendto(client_, d.data(), d.size(), 0, (sockaddr *)&gw_addr_, sizeof gw_addr_),
                (ssize_t)d.size());
    while (Readable(gw_, 10)) side_->FromClient(handshake);
  }
  // What reached the device so far.
  std::vector<Bytes> DeviceFrames() {
    side_->Drain();
    return ReadAll(dev_[1]);
  }
  // The device hands the frames over; the side takes them.
  void FromDevice(const std::vector<Bytes> &frames) {
    for (const Bytes &f : frames) ASSERT_EQ(write(dev_[1], f.data(), f.size()), (ssize_t)f.size());
    while (Readable(dev_[0], 0)) side_->FromTun();
  }
  // What reached the client so far.
  std::vector<Bytes> ClientDatagrams() {
    side_->Drain();
    return ReadAll(client_);
  }

 private:
  static void Unexpected(const uint8_t *, size_t, const sockaddr_in &) {
    ADD_FAILURE() << "a datagram went to the handshake";
  }
  static std::vector<Bytes> ReadAll(int fd) {
    std::vector<Bytes> out;
    std::vector<uint8_t> buf(70000);
    for (ssize_t n; (n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT)) >= 0;)
      out.emplace_back(buf.begin(), buf.begin() + n);
    return out;
  }

  int gw_ = -1, client_ = -1, dev_[2] = {-1, -1};
  sockaddr_in gw_addr_{}, client_addr_{};
  std::unique_ptr<DataSide> side_;
};

// A packet as the tests compare them: destination, protocol, IPv4 payload.
struct Packet {
  uint32_t dst;
  uint8_t proto;
  Bytes payload;
  bool operator==(const Packet &o) const {
    return dst == o.dst && proto == o.proto && payload == o.payload;
  }
};
std::ostream &operator<<(std::ostream &os, const Packet &p) {
  os << "packet to " << std::hex << p.dst << std::dec << " proto " << (int)p.proto << ", "
     << p.payload.size() << " bytes:" << std::hex;
  for (size_t i = 0; i < p.payload.size() && i < 24; i++) os << " " << (int)p.payload[i];
  return os << std::dec;
}

// Reports the first packet where got and expected part.
void ExpectSame(const std::vector<Packet> &got, const std::vector<Packet> &expected,
                const std::string &what) {
  size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) i++;
  if (i == got.size() && i == expected.size()) return;
  ADD_FAILURE() << what << ": " << got.size() << " packets for " << expected.size()
                << ", the first difference at " << i << ": "
                << (i < got.size() ? ::testing::PrintToString(got[i]) : "none") << " for "
                << (i < expected.size() ? ::testing::PrintToString(expected[i]) : "none");
}

Packet PacketOf(const Bytes &ip) {
  return {load_be32(&ip[16]), ip[9], Bytes(ip.begin() + 20, ip.end())};
}

// The packets in device frames (runs cut again: TCP as the simulator cuts
// a large frame, UDP as the kernel cuts a run).
std::vector<Packet> PacketsOf(std::vector<Bytes> frames) {
  std::vector<Packet> out;
  for (Bytes &f : frames) {
    VnetHeader v;
    memcpy(&v, f.data(), sizeof v);
    if (v.gso_type == zor::offload::kVnetGsoUdpL4) {
      const std::vector<Bytes> pieces =
          runs::cut_udp_run(v, Bytes(f.begin() + sizeof v, f.end()), runs::Link::kNone);
      EXPECT_FALSE(pieces.empty());
      for (const Bytes &p : pieces) out.push_back(PacketOf(p));
      continue;
    }
    TunFrame t;
    EXPECT_TRUE(PlanFrame(f.data(), f.size(), &t));
    for (uint32_t i = 0; i < t.count; i++) {
      Bytes p(PacketPayloadLen(t, i));
      PutPacketPayload(t, i, p.data());
      out.push_back({load_be32(t.ip + 16), t.ip[9], p});
    }
  }
  return out;
}

// Random traffic of the client: runs of TCP segments of two connections
// and of UDP datagrams of one flow (which the side may coalesce), UDP
// packets of random sizes between them.
class Traffic {
 public:
  explicit Traffic(uint32_t seed) : rng_(seed) {}
  Bytes Next() {
    const uint32_t kind = rng_() % 8;
    if (kind < 2) {
      pp::Ip ip;
      ip.src = kClient;
      ip.dst = kFar;
      Bytes payload(rng_() % 1400);
      for (auto &b : payload) b = (uint8_t)rng_();
      return pp::Ipv4(ip, pp::Udp(5000, 53, payload));
    }
    if (kind < 4) {
      pp::Ip ip;
      ip.src = kClient;
      ip.dst = kFar;
      ip.id = udp_id_++;
      Bytes payload(rng_() % 6 ? 1200 : 1 + rng_() % 1199);
      for (auto &b : payload) b = (uint8_t)rng_();
      return pp::Ipv4(ip, pp::Udp(5001, 5201, payload));
    }
    const int c = (int)(rng_() % 2);
    pp::Ip ip;
    ip.src = kClient;
    ip.dst = kFar + (uint32_t)c;
    ip.proto = 6;
    ip.frag = 0x4000;
    pp::Tcp t;
    t.seq = seq_[c];
    t.ack = 1;
    t.flags = 0x10;
    const bool full = rng_() % 3 != 0;
    t.payload.resize(full ? 1400 : 1 + rng_() % 1399);
    for (auto &b : t.payload) b = (uint8_t)rng_();
    seq_[c] += (uint32_t)t.payload.size();
    return pp::Ipv4(ip, pp::TcpSegment(t));
  }
  uint32_t Below(uint32_t n) { return rng_() % n; }

 private:
  std::mt19937 rng_;
  uint32_t seq_[2] = {1000, 50000};
  uint16_t udp_id_ = 7;
};

class DataSideModes : public ::testing::TestWithParam<bool> {};

// The client's datagrams in batches of random lengths (longer than one
// receive, so that some go to the workers), one with the client's key
// change inside it and one with a datagram that fails authentication.
constexpr uint32_t kLongestBatch = 150;
struct UplinkRun {
  std::vector<Packet> packets;
  std::vector<Bytes> frames;
};
UplinkRun Uplink(unsigned workers, bool mgm) {
  TunnelSession s = TestSession(mgm);
  Loop loop(workers, s);
  ClientEnd client(s);
  Traffic traffic(11);
  for (int batch = 0; batch < 40; batch++) {
    std::vector<Bytes> ds;
    const uint32_t n = 1 + traffic.Below(kLongestBatch);
    for (uint32_t i = 0; i < n; i++) {
      if (batch == 7 && i == n / 2) ds.push_back(client.KeyChange());
      ds.push_back(client.Data(traffic.Next()));
      if (batch == 12 && i == 3) ds.back()[ds.back().size() - 1] ^= 1;
    }
    loop.FromClient(ds);
  }
  UplinkRun r;
  r.frames = loop.DeviceFrames();
  r.packets = PacketsOf(r.frames);
  return r;
}

TEST_P(DataSideModes, TheClientsBatchesReachTheDeviceAsInlineAndOneByOne) {
  const bool mgm = GetParam();
  // The reference: the peer taking the same datagrams one by one.
  TunnelSession s = TestSession(mgm);
  TunnelPeer peer(s);
  ClientEnd client(s);
  Traffic traffic(11);
  std::vector<Packet> expected;
  const uint32_t client_addr = htonl(kClient);
  for (int batch = 0; batch < 40; batch++) {
    const uint32_t n = 1 + traffic.Below(kLongestBatch);
    for (uint32_t i = 0; i < n; i++) {
      if (batch == 7 && i == n / 2) {
        Bytes kc = client.KeyChange();
        EXPECT_EQ(peer.Take(kc.data(), kc.size(), client_addr, 0).kind, TunnelPeer::Kind::kKeyChange);
      }
      Bytes d = client.Data(traffic.Next());
      if (batch == 12 && i == 3) d[d.size() - 1] ^= 1;
      TunnelPeer::Result r = peer.Take(d.data(), d.size(), client_addr, 0);
      if (r.kind == TunnelPeer::Kind::kData) expected.push_back(PacketOf(r.inner));
    }
  }
  UplinkRun inline_run = Uplink(0, mgm);
  ExpectSame(inline_run.packets, expected, "inline");
  EXPECT_LT(inline_run.frames.size(), expected.size()) << "runs were coalesced";
  size_t tcp_runs = 0, udp_runs = 0;
  for (const Bytes &f : inline_run.frames) {
    tcp_runs += f[1] == zor::offload::kVnetGsoTcpv4;
    udp_runs += f[1] == zor::offload::kVnetGsoUdpL4;
  }
  EXPECT_GT(tcp_runs, 0u) << "runs of TCP segments";
  EXPECT_GT(udp_runs, 0u) << "runs of UDP datagrams";
  for (unsigned w : kWorkerCounts)
    ExpectSame(Uplink(w, mgm).packets, expected, std::to_string(w) + " workers");
}

// Frames the device hands over: large TCP frames of several segment sizes,
// single packets with and without an offloaded checksum.
std::vector<Bytes> DeviceBatch(Traffic &traffic, uint32_t *seq) {
  std::vector<Bytes> frames;
  const uint32_t n = 1 + traffic.Below(5);
  for (uint32_t i = 0; i < n; i++) {
    pp::Ip ip;
    ip.src = kFar;
    ip.dst = pp::kClientIp;
    ip.proto = 6;
    ip.frag = 0x4000;
    pp::Tcp t;
    t.seq = *seq;
    t.ack = 1;
    t.flags = 0x18;
    t.payload.resize(1 + traffic.Below(30000));
    for (auto &b : t.payload) b = (uint8_t)traffic.Below(256);
    *seq += (uint32_t)t.payload.size();
    Bytes packet = pp::Ipv4(ip, pp::TcpSegment(t));
    VnetHeader v{};
    if (traffic.Below(4) != 0) {
      store_be16(&packet[36], pp::InetSum(&packet[12], 8, 6 + (uint32_t)(packet.size() - 20)));
      v.flags = zor::offload::kVnetNeedsCsum;
      v.csum_start = 20;
      v.csum_offset = 16;
      if (t.payload.size() > 1000) {
        v.gso_type = zor::offload::kVnetGsoTcpv4;
        v.gso_size = (uint16_t)(600 + traffic.Below(800));
        v.hdr_len = 40;
      }
    }
    Bytes f(sizeof v);
    memcpy(f.data(), &v, sizeof v);
    f.insert(f.end(), packet.begin(), packet.end());
    frames.push_back(f);
  }
  return frames;
}

std::vector<Bytes> Downlink(unsigned workers, bool mgm, bool keychanges,
                            std::vector<Bytes> *payloads) {
  TunnelSession s = TestSession(mgm);
  Loop loop(workers, s);
  ClientEnd client(s);
  Traffic traffic(5);
  uint32_t seq = 1;
  std::vector<Bytes> all;
  for (int batch = 0; batch < 30; batch++) {
    // The gateway's key changes come between batches, while the batches
    // before are still on the workers.
    if (keychanges && batch % 10 == 5) loop.side().Command("keychange");
    loop.FromDevice(DeviceBatch(traffic, &seq));
    if (batch % 3 == 2) {
      for (Bytes &d : loop.ClientDatagrams()) all.push_back(d);
    }
  }
  for (Bytes &d : loop.ClientDatagrams()) all.push_back(d);
  for (const Bytes &d : all) {
    Bytes p;
    if (client.Open(d, &p)) payloads->push_back(p);
  }
  return all;
}

TEST_P(DataSideModes, DeviceFramesReachTheClientAsInline) {
  const bool mgm = GetParam();
  std::vector<Bytes> expected_payloads;
  {
    Traffic traffic(5);
    uint32_t seq = 1;
    for (int batch = 0; batch < 30; batch++)
      for (Bytes &f : DeviceBatch(traffic, &seq)) {
        TunFrame t;
        ASSERT_TRUE(PlanFrame(f.data(), f.size(), &t));
        for (uint32_t i = 0; i < t.count; i++) {
          Bytes p(PacketPayloadLen(t, i));
          PutPacketPayload(t, i, p.data());
          expected_payloads.push_back(p);
        }
      }
  }
  std::vector<Bytes> inline_payloads;
  std::vector<Bytes> inline_datagrams = Downlink(0, mgm, false, &inline_payloads);
  EXPECT_EQ(inline_payloads, expected_payloads);
  EXPECT_GT(inline_datagrams.back()[6] | inline_datagrams.back()[7] << 8 | inline_datagrams.back()[8] << 16, 62500)
      << "the packet key changed on the way";
  for (unsigned w : kWorkerCounts) {
    std::vector<Bytes> payloads;
    EXPECT_EQ(Downlink(w, mgm, false, &payloads), inline_datagrams) << w << " workers";
  }
  // With key changes the bytes differ (the keys are random): the client
  // opens every datagram in its order.
  for (unsigned w : {0u, 4u}) {
    std::vector<Bytes> payloads;
    Downlink(w, mgm, true, &payloads);
    EXPECT_EQ(payloads, expected_payloads) << w << " workers, with key changes";
  }
}

TEST_P(DataSideModes, AHandshakeDatagramIsTakenInItsPlaceAmongData) {
  TunnelSession s = TestSession(GetParam());
  for (unsigned w : {0u, 3u}) {
    Loop loop(w, s);
    ClientEnd client(s);
    Traffic traffic(3);
    std::vector<Bytes> ds, before;
    for (int i = 0; i < 20; i++) ds.push_back(client.Data(traffic.Next()));
    Bytes syn(40, 0);
    zor::wire::PutHeader(syn.data(), zor::wire::kSynRq, 17, 0);
    ds.insert(ds.begin() + 12, syn);
    int handshakes = 0;
    loop.FromClient(ds, [&](const uint8_t *d, size_t n, const sockaddr_in &) {
      handshakes++;
      EXPECT_EQ(Bytes(d, d + n), syn);
      before = loop.DeviceFrames();
    });
    EXPECT_EQ(handshakes, 1);
    std::vector<Bytes> after = loop.DeviceFrames();
    EXPECT_EQ(PacketsOf(before).size(), 12u) << w << " workers: the data before it went first";
    EXPECT_EQ(PacketsOf(after).size(), 8u) << w << " workers";
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, DataSideModes, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
}  // namespace gwsim
