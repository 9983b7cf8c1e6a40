// Tunnel data and control against the gateway simulator's peers: packets of
// the local stack leave as encrypted datagrams that the gateway opens, the
// gateway's datagrams come back as the inner packets, key changes from
// either side keep the traffic flowing, and control messages raise their
// events.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "byte_order.h"
#include "crypto/magma_mgm.h"
#include "drv_events.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/master_ring.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_crypto.h"
#include "kernel/filter/tunnel_data.h"
#include "tests/host/test_host.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using gwsim::TunnelPeer;
using zor::tunnel::client;

Bytes Text(const char *s) { return Bytes(s, s + strlen(s)); }

bool Contains(const Bytes &hay, const Bytes &needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class Tunnel : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.Connect(GetParam()));
    ASSERT_EQ(client.state, 7);
    bool mgm = GetParam() && magma_support_fast_MGM();
    EXPECT_EQ(GuardUsesMgm(), mgm ? 1u : 0u);
  }

  // A TCP segment of the local stack to the host behind the gateway.
  Bytes Outgoing(const Bytes &payload, uint32_t seq = 1000, uint8_t flags = 0x18) {
    Ip ip;
    ip.proto = 6;
    Tcp t;
    t.seq = seq;
    t.ack = 5000;
    t.flags = flags;
    t.payload = payload;
    return FromClient(ip, TcpSegment(t));
  }
  // The headers of a segment from the host behind the gateway.
  static Ip BackIp() {
    Ip ip;
    ip.src = kCorpIp;
    ip.dst = kClientIp;
    ip.proto = 6;
    return ip;
  }
  static Tcp BackTcp(uint32_t seq, uint8_t flags) {
    Tcp t;
    t.sport = 7;
    t.dport = 40001;
    t.seq = seq;
    t.ack = 1000;
    t.flags = flags;
    return t;
  }
  Bytes Reply(const Bytes &payload, uint32_t seq = 5000, uint8_t flags = 0x18) {
    Tcp t = BackTcp(seq, flags);
    t.payload = payload;
    return Ipv4(BackIp(), TcpSegment(t));
  }
  // The gateway's datagram for an inner packet, offered from the network.
  uint32_t ThroughGateway(const Bytes &inner) {
    return h.FromNet(h.GatewayFrame(h.gateway().Wrap(inner.data(), inner.size())));
  }
  // Sends a segment through the tunnel; true when the gateway opened it.
  bool RoundTrip(uint32_t seq) {
    Bytes payload = Text("segment");
    if (h.FromStack(Outgoing(payload, seq)) != 1) return false;
    auto results = h.ToGateway(h.Drain());
    bool out = false;
    for (auto &r : results)
      if (r.kind == TunnelPeer::Kind::kData) out = Bytes(r.inner.end() - 7, r.inner.end()) == payload;
    if (ThroughGateway(Reply(payload, 5000 + seq)) != 1) return false;
    bool in = false;
    for (const Sent &s : h.Drain()) in = in || (!s.to_network && Contains(s.bytes, payload));
    return out && in;
  }
  // A SYN of the local stack and the SYN/ACK of the host behind the
  // gateway, both carrying options, through the tunnel; *syn is what the
  // gateway made of the SYN.
  void OpenWithOptions(const Bytes &options, std::vector<TunnelPeer::Result> *syn) {
    Ip ip;
    ip.proto = 6;
    Tcp first;
    first.seq = 999;
    first.options = options;
    ASSERT_EQ(h.FromStack(FromClient(ip, TcpSegment(first))), 1u);
    *syn = h.ToGateway(h.Drain());
    Tcp synack = BackTcp(4999, TCP_SYN | TCP_ACK);
    synack.options = options;
    ASSERT_EQ(ThroughGateway(Ipv4(BackIp(), TcpSegment(synack))), 1u);
    h.Drain();
  }
  // A UDP flow of the local stack through the tunnel; the headers of the
  // answers the firewall lets back.
  Ip OpenUdp() {
    Ip out;
    out.proto = 17;
    EXPECT_EQ(h.FromStack(FromClient(out, Udp(40001, 9000, Text("open")))), 1u);
    h.ToGateway(h.Drain());
    Ip back = BackIp();
    back.proto = 17;
    return back;
  }
  // Opens the TCP connection of Outgoing/Reply through the tunnel.
  void OpenConnection() {
    ASSERT_EQ(h.FromStack(Outgoing({}, 999, 0x02)), 1u);
    h.ToGateway(h.Drain());
    ASSERT_EQ(ThroughGateway(Reply({}, 4999, 0x12)), 1u);
    h.Drain();
    ASSERT_EQ(h.FromStack(Outgoing({}, 1000, 0x10)), 1u);
    h.ToGateway(h.Drain());
  }

  Harness h;
};

TEST_P(Tunnel, PacketsCrossBothWaysAndTheWireCarriesNoClearPayload) {
  Bytes secret = Text("inner payload that must not travel in clear");
  Ip ip;
  ip.proto = 1;
  ASSERT_EQ(h.FromStack(FromClient(ip, IcmpEcho(7, 1, secret))), 1u);
  std::vector<Sent> sent = h.Drain();
  ASSERT_EQ(sent.size(), 1u);
  const Bytes &wire = sent[0].bytes;
  EXPECT_TRUE(sent[0].to_network);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 6), Bytes(kGatewayMac, kGatewayMac + 6));
  EXPECT_EQ(load_be32(&wire[30]), kGatewayIp) << "outer destination";
  EXPECT_EQ(wire[23], 17);
  EXPECT_EQ(load_be16(&wire[34]), kClientPort);
  EXPECT_EQ(load_be16(&wire[36]), 87);
  EXPECT_TRUE(IpChecksumOk(&wire[14]));
  EXPECT_TRUE(TransportChecksumOk(&wire[14]));
  EXPECT_FALSE(Contains(wire, secret));
  EXPECT_FALSE(Contains(wire, Bytes(secret.begin(), secret.begin() + 8)));

  auto results = h.ToGateway(sent);
  ASSERT_EQ(results.size(), 1u);
  ASSERT_EQ(results[0].kind, TunnelPeer::Kind::kData) << results[0].error;
  Bytes expect = Ipv4(ip, IcmpEcho(7, 1, secret));
  EXPECT_EQ(results[0].inner, expect);

  Ip back;
  back.src = kCorpIp;
  back.dst = kClientIp;
  back.proto = 1;
  Bytes answer = Ipv4(back, IcmpEcho(7, 1, secret));
  answer[20] = 0;  // echo reply
  Reseal(answer.data());
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Wrap(answer.data(), answer.size()))), 1u);
  sent = h.Drain();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(sent[0].to_network) << "up to the local stack";
  Bytes inner(sent[0].bytes.begin() + 14, sent[0].bytes.end());
  EXPECT_EQ(load_be32(&inner[12]), kCorpIp);
  EXPECT_EQ(Bytes(inner.begin() + 20, inner.end()), Bytes(answer.begin() + 20, answer.end()));
  EXPECT_TRUE(IpChecksumOk(inner.data()));
}

// Both ends follow one rule: the outer header of a data datagram keeps the
// inner packet's DF bit, and the unwrapped packet gets the outer's DF bit;
// MF and a fragment offset are never carried.
TEST_P(Tunnel, OuterHeaderKeepsTheInnerDontFragmentBitOnly) {
  struct Case {
    const char *what;
    uint16_t inner_frag, outer_frag;
  };
  const Case cases[] = {{"DF set", 0x4000, 0x4000}, {"DF clear", 0x0000, 0x0000}};
  for (const Case &c : cases) {
    Ip ip;
    ip.proto = 1;
    ip.frag = c.inner_frag;
    ASSERT_EQ(h.FromStack(FromClient(ip, IcmpEcho(7, 1, Text("df")))), 1u) << c.what;
    std::vector<Sent> sent = h.Drain();
    ASSERT_EQ(sent.size(), 1u) << c.what;
    const uint8_t *outer = sent[0].bytes.data() + 14;
    EXPECT_EQ(load_be16(outer + 6), c.outer_frag) << c.what;
    EXPECT_TRUE(IpChecksumOk(outer)) << c.what;
    auto results = h.ToGateway(sent);
    ASSERT_EQ(results.size(), 1u) << c.what;
    ASSERT_EQ(results[0].kind, TunnelPeer::Kind::kData) << c.what;
    EXPECT_EQ(load_be16(results[0].inner.data() + 6), c.outer_frag) << c.what << ", at the gateway";
    EXPECT_TRUE(IpChecksumOk(results[0].inner.data())) << c.what;
  }
  // From the gateway: an inner packet with DF (and one that claims MF and
  // an offset besides) comes up to the local stack with DF only.
  const Case back[] = {{"DF set", 0x4000, 0x4000},
                       {"DF clear", 0x0000, 0x0000},
                       {"DF, MF and an offset", 0x4000 | 0x2000 | 0x0010, 0x4000}};
  for (const Case &c : back) {
    Ip ip_back;
    ip_back.src = kCorpIp;
    ip_back.dst = kClientIp;
    ip_back.proto = 1;
    ip_back.frag = c.inner_frag;
    Bytes inner = Ipv4(ip_back, IcmpEcho(7, 1, Text("df")));
    inner[20] = 0;  // the echo reply
    Reseal(inner.data());
    uint16_t outer = TunnelPeer::OuterFlags(inner.data());
    EXPECT_EQ(outer, c.outer_frag) << c.what;
    ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Wrap(inner.data(), inner.size()), outer)), 1u)
        << c.what;
    std::vector<Sent> up = h.Drain();
    ASSERT_EQ(up.size(), 1u) << c.what;
    EXPECT_FALSE(up[0].to_network) << c.what;
    const uint8_t *ip = up[0].bytes.data() + 14;
    EXPECT_EQ(load_be16(ip + 6), c.outer_frag) << c.what << ", at the local stack";
    EXPECT_TRUE(IpChecksumOk(ip)) << c.what;
  }
  // The tunnel's own datagrams carry neither flag nor offset.
  h.Tick(GUARD_KEEPALIVE_TICKS);
  std::vector<Sent> keepalive = h.Drain();
  ASSERT_EQ(keepalive.size(), 1u);
  EXPECT_EQ(load_be16(keepalive[0].bytes.data() + 14 + 6), 0u);
}

// The per-entry counters (received, receive error, passed, prohibited) of
// an address-table entry, as RQC_GETSTAT reads them back.
std::array<uint32_t, 4> EntryCounts(uint32_t address) {
  uint32_t index = zor::tunnel::FindClient(address, false, true);
  std::array<uint32_t, 4> c{};
  if (index < zor::addr::kEntries) memcpy(c.data(), client.table.e[index].data, sizeof c);
  return c;
}

// Each flipped byte is one the MAC covers and nothing after it would
// notice (the answer's UDP checksum is 0, "none"): only the authentication
// refuses these datagrams, and it does so before the inner packet is looked
// at, so the error counts on the gateway's own entry.
// The host's timer ticks on a thread of its own while the stack's packets go
// into the tunnel, as in zornfhost: every packet is taken and the tunnel
// stays up (the ThreadSanitizer build checks that the tick and the tunnel's
// state are shared under the lock).
TEST_P(Tunnel, TimerTicksWhilePacketsGoOut) {
  std::atomic<bool> ticking{true};
  std::thread timer([&] {
    for (int i = 0; i < 4; i++) {  // fewer ticks than the gateway may stay silent
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      h.Tick();
    }
    ticking = false;
  });
  uint32_t packets = 0, taken = 0;
  for (; ticking && packets < 100000; packets++) {
    taken += h.FromStack(Outgoing(Text("tick"), 1000 + packets * 4)) == 1;
    if (packets % 16 == 15) h.Drain();
  }
  timer.join();
  EXPECT_EQ(taken, packets);
  EXPECT_EQ(client.state, 7);
}

TEST_P(Tunnel, TamperedOrShortDatagramsAreRefused) {
  Ip back = OpenUdp();
  Bytes inner = Ipv4(back, Udp(9000, 40001, Text("hello")));
  store_be16(&inner[20 + 6], 0);
  struct Case {
    const char *what;
    size_t at;  // the byte flipped in a fresh datagram of the gateway
  };
  const Case cases[] = {
      {"word B", 0},           {"key generation", 5},      {"session identifier", 10},
      {"word A", 14},          {"far address", 19},        {"inner identification", 22},
      {"inner protocol", 25},  {"payload byte", 26 + 8 + 4},
  };
  for (const Case &c : cases) {
    Bytes d = h.gateway().Wrap(inner.data(), inner.size());
    d[c.at] ^= 0x01;
    uint32_t errors = filterstats.recverr, gateway_errors = EntryCounts(kGatewayIp)[1];
    EXPECT_EQ(h.FromNet(h.GatewayFrame(d)), 1u) << c.what;
    EXPECT_TRUE(h.Drain().empty()) << c.what;
    EXPECT_EQ(filterstats.recverr, errors + 1) << c.what;
    EXPECT_EQ(EntryCounts(kGatewayIp)[1], gateway_errors + 1) << c.what << ": refused as the gateway's";
  }
  // The same datagram unflipped comes up.
  ASSERT_EQ(ThroughGateway(inner), 1u);
  std::vector<Sent> up = h.Drain();
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(Bytes(up[0].bytes.begin() + 14, up[0].bytes.end()), inner);

  Bytes d = h.gateway().Wrap(inner.data(), inner.size());
  Bytes short_data(d.begin(), d.begin() + 25);
  uint32_t errors = filterstats.recverr;
  EXPECT_EQ(h.FromNet(h.GatewayFrame(short_data)), 1u) << "under 26 bytes";
  EXPECT_TRUE(h.Drain().empty()) << "under 26 bytes";
  EXPECT_EQ(filterstats.recverr, errors + 1) << "under 26 bytes";
  // A UDP length beyond what the IP packet holds.
  Bytes frame = h.GatewayFrame(d);
  store_be16(&frame[38], (uint16_t)(load_be16(&frame[38]) + 40));
  Reseal(&frame[14]);
  EXPECT_EQ(h.FromNet(frame), 1u);
  EXPECT_TRUE(h.Drain().empty());
}

TEST_P(Tunnel, EachPacketIsCountedOnItsOwnAddressEntry) {
  OpenConnection();
  auto corp = EntryCounts(kCorpIp), gw = EntryCounts(kGatewayIp);
  ASSERT_EQ(h.FromStack(Outgoing(Text("out"))), 1u);
  h.ToGateway(h.Drain());
  auto corp1 = EntryCounts(kCorpIp);
  EXPECT_EQ(corp1[0], corp[0] + 1) << "received on the far end's entry";
  EXPECT_EQ(corp1[2], corp[2] + 1) << "passed on the far end's entry";
  EXPECT_EQ(EntryCounts(kGatewayIp), gw) << "the gateway's entry counts nothing of it";

  // A tampered datagram counts on the gateway's entry only, and the frame
  // after it starts with no entry of its own: the reply is counted on the
  // far end again, not on the gateway.
  Bytes inner = Reply(Text("back"));
  Bytes bad = h.gateway().Wrap(inner.data(), inner.size());
  bad[30] ^= 0x01;
  EXPECT_EQ(h.FromNet(h.GatewayFrame(bad)), 1u);
  auto gw1 = EntryCounts(kGatewayIp);
  EXPECT_EQ(gw1[1], gw[1] + 1);
  EXPECT_EQ(EntryCounts(kCorpIp), corp1);
  EXPECT_EQ(ThroughGateway(inner), 1u);
  h.Drain();
  auto corp2 = EntryCounts(kCorpIp);
  EXPECT_EQ(corp2[0], corp1[0] + 1);
  EXPECT_EQ(corp2[2], corp1[2] + 1);
  EXPECT_EQ(EntryCounts(kGatewayIp), gw1);
}

TEST_P(Tunnel, LargeSegmentsAreCutToTheSegmentSizeAndAcksWithOptionsReturn) {
  // The handshake announces MSS 1460 and timestamps; the clamp lowers it
  // to what fits the adapter's MTU after the tunnel's headers.
  Bytes mss_ts = {2, 4, 0x05, 0xB4, 1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0};
  std::vector<TunnelPeer::Result> results;
  ASSERT_NO_FATAL_FAILURE(OpenWithOptions(mss_ts, &results));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(load_be16(&results[0].inner[20 + 22]), 1500 - 40 - 34) << "clamped MSS";
  Ip ip;
  ip.proto = 6;
  Ip back = BackIp();

  // Segments of 7,070 bytes, as a stack with segmentation offload hands
  // them over, and acknowledgements carrying timestamps and SACK; enough
  // of them to move on to the next packet key.
  Tcp data;
  data.seq = 1000;
  data.ack = 5000;
  data.flags = TCP_ACK;
  data.options = {1, 1, 8, 10, 0, 0, 0, 2, 0, 0, 0, 1};
  data.payload.assign(7070, 'x');
  Tcp ack = BackTcp(5000, TCP_ACK);  // acknowledges what was sent, set below
  ack.options = {1, 1, 8, 10, 0, 0, 0, 2, 0, 0, 0, 1, 1, 1, 5, 10, 0, 0, 0, 1, 0, 0, 0, 2};
  for (int i = 0; i < 200; i++) {
    ASSERT_EQ(h.FromStack(FromClient(ip, TcpSegment(data))), 1u);
    results = h.ToGateway(h.Drain());
    ASSERT_EQ(results.size(), 5u) << "segment " << i;
    uint32_t seq = data.seq;
    for (auto &r : results) {
      ASSERT_EQ(r.kind, TunnelPeer::Kind::kData) << r.error;
      EXPECT_LE(r.inner.size(), 1500u - 34) << "fits the MTU once wrapped";
      EXPECT_EQ(load_be32(&r.inner[24]), seq);
      EXPECT_TRUE(TransportChecksumOk(r.inner.data()));
      seq += (uint32_t)r.inner.size() - 52;
    }
    data.seq += 7070;
    ack.ack = data.seq;
    ASSERT_EQ(ThroughGateway(Ipv4(back, TcpSegment(ack))), 1u);
    ASSERT_EQ(h.Drain().size(), 1u) << "acknowledgement " << i;
  }
  EXPECT_GT(client.send_counter, GUARD_KEY_INDEX_UNITS);
}

// The datagrams cut from one large segment are protected together: each
// carries the bytes the one-by-one protection gives it, also where the
// packet key changes inside the segment.
TEST_P(Tunnel, SegmentsProtectedTogetherCarryTheBytesOfOneByOne) {
  std::vector<TunnelPeer::Result> syn;
  ASSERT_NO_FATAL_FAILURE(OpenWithOptions({2, 4, 0x05, 0xB4}, &syn));
  Ip ip;
  ip.proto = 6;
  // The key index ends some datagrams into the segment.
  client.send_counter = GUARD_KEY_INDEX_UNITS - 5 * 92;
  Tcp data;
  data.seq = 1000;
  data.ack = 5000;
  data.flags = TCP_ACK;
  for (int i = 0; i < 40000; i++) data.payload.push_back((uint8_t)(i * 7 + i / 251));
  ASSERT_EQ(h.FromStack(FromClient(ip, TcpSegment(data))), 1u);
  size_t datagrams = 0;
  std::vector<uint32_t> indices;
  for (const Sent &s : h.Drain()) {
    Bytes d = Harness::DatagramOf(s);
    if (d.empty()) continue;
    uint32_t counter = d[6] | d[7] << 8 | d[8] << 16 | (uint32_t)d[9] << 24;
    uint8_t key[32];
    GuardPacketKey(client.keys.send_master, client.keys.packet_key_base, GuardKeyIndex(counter),
                   key);
    Bytes again = d;
    uint32_t len = (uint32_t)d.size();
    ASSERT_EQ(GuardOpenData(again.data(), len, key, counter, client.gw_nonce, GuardUsesMgm()), 1u)
        << "datagram " << datagrams;
    GuardSealData(again.data(), len, key, counter, client.gw_nonce, GuardUsesMgm());
    EXPECT_EQ(again, d) << "datagram " << datagrams;
    indices.push_back(GuardKeyIndex(counter));
    datagrams++;
  }
  EXPECT_GT(datagrams, 20u);
  ASSERT_FALSE(indices.empty());
  EXPECT_NE(indices.front(), indices.back()) << "the packet key changed inside the segment";
}

// The gateway's datagrams handed over together, with tampered ones among
// them, a key change of the gateway and a new packet key on the way: each
// good one is delivered in its order, the tampered ones are dropped.
TEST_P(Tunnel, DatagramsTakenTogetherAreOpenedAsOneByOne) {
  Ip back = OpenUdp();
  std::vector<Bytes> frames;
  std::vector<uint32_t> expected, got;
  for (uint32_t i = 0; i < 1000; i++) {
    if (i == 100) frames.push_back(h.GatewayFrame(h.gateway().KeyChange()));
    Bytes payload(1200, (uint8_t)i);
    store_be32(payload.data(), i);
    Bytes inner = Ipv4(back, Udp(9000, 40001, payload));
    Bytes d = h.gateway().Wrap(inner.data(), inner.size());
    if (i % 97 == 5)
      d[d.size() - 1 - i % 50] ^= 0x04;
    else
      expected.push_back(i);
    frames.push_back(h.GatewayFrame(d));
  }
  for (size_t first = 0; first < frames.size(); first += 45) {
    std::vector<Bytes> batch(frames.begin() + first,
                             frames.begin() + std::min(frames.size(), first + 45));
    for (uint32_t v : h.FromNetBatch(batch)) EXPECT_EQ(v, 1u);
    for (const Sent &s : h.Drain()) {
      if (s.to_network || s.bytes.size() < 14 + 20 + 8 + 4 || s.bytes[14 + 9] != 17) continue;
      got.push_back(load_be32(&s.bytes[14 + 20 + 8]));
    }
  }
  EXPECT_EQ(got, expected);
}

TEST_P(Tunnel, KeyChangesFromEitherSideKeepTheStreamFlowing) {
  OpenConnection();
  ASSERT_TRUE(RoundTrip(1000));

  // The gateway changes its key: the client takes it, acknowledges it and
  // changes its own direction to the same key.
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().KeyChange())), 1u);
  auto results = h.ToGateway(h.Drain());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, TunnelPeer::Kind::kAck) << results[0].error;
  // Until the client announces the new key its data stays under the old
  // one, also when the counter moves on to the next packet key.
  client.send_counter = GUARD_KEY_INDEX_UNITS - 1;
  ASSERT_TRUE(RoundTrip(1007));
  ASSERT_TRUE(RoundTrip(1007));
  h.Tick();
  results = h.ToGateway(h.Drain());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, TunnelPeer::Kind::kKeyChange) << results[0].error;
  EXPECT_EQ(client.session_flags & (GUARD_KEYCHANGE | GUARD_NEW_MASTER), 0)
      << "the gateway's acknowledgement ended the key change";
  EXPECT_EQ(client.send_counter, GUARD_COUNTER_RESTART) << "counting restarts under the new key";
  ASSERT_TRUE(RoundTrip(1007));
  EXPECT_EQ(client.send_counter, 4u);

  // The client's own key change, when its counter reaches the limit.
  client.send_counter = GUARD_REKEY_COUNTER;
  h.Tick();
  results = h.ToGateway(h.Drain());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, TunnelPeer::Kind::kKeyChange) << results[0].error;
  EXPECT_EQ(h.gateway().keychanges_taken(), 2u);
  EXPECT_EQ(client.send_counter, GUARD_COUNTER_RESTART);
  ASSERT_TRUE(RoundTrip(1014));
  EXPECT_TRUE(h.Events().empty());
}

TEST_P(Tunnel, UnansweredKeyChangeEndsTheSession) {
  client.send_counter = GUARD_REKEY_COUNTER;
  int sent = 0;
  for (int i = 0; i < 6 * 36 && client.state == 7; i++) {
    h.Tick();
    for (const Sent &s : h.Drain()) sent += !Harness::DatagramOf(s).empty();
  }
  EXPECT_EQ(sent, 5) << "five attempts";
  EXPECT_EQ(client.state, 0);
  EXPECT_EQ(h.Events(), std::vector<uint32_t>{12});
}

TEST_P(Tunnel, KeepAlivesAreAnsweredOrEndTheSession) {
  h.Tick(GUARD_KEEPALIVE_TICKS);
  std::vector<Sent> sent = h.Drain();
  ASSERT_EQ(sent.size(), 1u);
  const uint8_t *ip = sent[0].bytes.data() + 14;
  EXPECT_EQ(load_be32(ip + 12), kClientIp) << "from the client's address";
  EXPECT_EQ(load_be32(ip + 16), kGatewayIp);
  EXPECT_TRUE(IpChecksumOk(ip));
  EXPECT_TRUE(TransportChecksumOk(ip));
  auto results = h.ToGateway(sent);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, TunnelPeer::Kind::kOob) << results[0].error;
  EXPECT_EQ(results[0].code, OOB_KEEPALIVE);
  EXPECT_EQ(client.session_flags & GUARD_KEEPALIVE_WAIT, 0) << "the answer arrived";

  // A silent gateway: seven more keep-alives, then the session ends.
  int keepalives = 0;
  for (int i = 0; i < 10 * (int)GUARD_KEEPALIVE_TICKS && client.state == 7; i++) {
    h.Tick();
    for (const Sent &s : h.Drain()) keepalives += !Harness::DatagramOf(s).empty();
  }
  EXPECT_EQ(keepalives, 7);
  EXPECT_EQ(client.state, 0);
  EXPECT_EQ(h.Events(), std::vector<uint32_t>{11});
}

TEST_P(Tunnel, StatusInTheTunnelEndsTheSession) {
  for (uint32_t code : {31u, 25u}) {
    if (client.state != 7) {
      ASSERT_TRUE(h.Connect(GetParam()));
    }
    Bytes bad = h.gateway().Status(code);
    bad[12] ^= 1;  // seal no longer checks
    EXPECT_EQ(h.FromNet(h.GatewayFrame(bad)), 1u);
    EXPECT_EQ(client.state, 7) << "a status that does not check ends nothing";
    Bytes longer = h.gateway().Status(code);
    longer.insert(longer.end(), 4, 0);
    EXPECT_EQ(h.FromNet(h.GatewayFrame(longer)), 1u);
    EXPECT_EQ(client.state, 7);
    EXPECT_TRUE(h.Events().empty());

    ASSERT_EQ(client.recv_masters.held, 1u) << "the handshake's receive master";
    EXPECT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Status(code))), 1u);
    EXPECT_EQ(client.state, 0);
    EXPECT_EQ(client.session_flags, 0);
    const MasterRing wiped{};
    EXPECT_EQ(memcmp(&client.recv_masters, &wiped, sizeof wiped), 0)
        << "the receive masters' fingerprints outlived the keys";
    EXPECT_EQ(h.Events(), std::vector<uint32_t>{code == 31 ? 9u : 13u});
  }
}

TEST_P(Tunnel, AccessLevelIsStoredAcknowledgedAndReported) {
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Oob(OOB_ACCESS_LEVEL, {3}))), 1u);
  EXPECT_EQ(client.access_level, 3);
  EXPECT_EQ(h.Events(), std::vector<uint32_t>{10});
  auto results = h.ToGateway(h.Drain());
  ASSERT_EQ(results.size(), 1u);
  ASSERT_EQ(results[0].kind, TunnelPeer::Kind::kOob) << results[0].error;
  EXPECT_EQ(results[0].code, OOB_ACCESS_LEVEL_ACK);
  EXPECT_EQ(results[0].data, Bytes{3}) << "one data byte: n + 4 is not a multiple of 8";

  Bytes tampered = h.gateway().Oob(OOB_ACCESS_LEVEL, {5});
  tampered[19] ^= 1;
  EXPECT_EQ(h.FromNet(h.GatewayFrame(tampered)), 1u);
  EXPECT_EQ(client.access_level, 3);
  Bytes lying = h.gateway().Oob(OOB_ACCESS_LEVEL, {5});
  lying[6] = 200;  // length field past the datagram
  EXPECT_EQ(h.FromNet(h.GatewayFrame(lying)), 1u);
  EXPECT_TRUE(h.Events().empty());
}

TEST_P(Tunnel, OutOfBandFromTheGatewayPutsTheNextKeepAliveOff) {
  h.Tick(GUARD_KEEPALIVE_TICKS - 30);
  ASSERT_TRUE(h.Drain().empty());
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Oob(OOB_ACCESS_LEVEL, {3}))), 1u);
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
  h.Events();
  uint32_t first = 0;
  for (uint32_t i = 1; i <= GUARD_KEEPALIVE_TICKS + 1 && !first; i++) {
    h.Tick();
    if (!h.Drain().empty()) first = i;
  }
  EXPECT_EQ(first, GUARD_KEEPALIVE_TICKS) << "a full keep-alive period after the message";
}

// The gateway's datagrams are each taken once under a key: a copy sent
// again is a receive error and does nothing; reordering inside the window
// is taken, a datagram further behind is not; a key change of the gateway
// starts counting again.
class Replay : public Tunnel {
 protected:
  void SetUp() override {
    Tunnel::SetUp();
    back = OpenUdp();
  }
  // A data datagram of the gateway whose payload starts with n.
  Bytes Datagram(uint32_t n, size_t size = 1200) {
    Bytes payload(size, (uint8_t)n);
    store_be32(payload.data(), n);
    Bytes inner = Ipv4(back, Udp(9000, 40001, payload));
    return h.gateway().Wrap(inner.data(), inner.size());
  }
  static uint32_t CounterOf(const Bytes &data) { return load_le32(&data[6]); }
  // The numbers of the datagrams that came up to the local stack.
  std::vector<uint32_t> Delivered() {
    std::vector<uint32_t> got;
    for (const Sent &s : h.Drain())
      if (!s.to_network) got.push_back(load_be32(&s.bytes[14 + 20 + 8]));
    return got;
  }
  // Offers a datagram of the gateway that must be refused: one receive
  // error, nothing sent or raised, the receive-activity deadline unmoved.
  void ExpectRefused(const Bytes &d, const char *what) {
    h.Tick();
    const uint32_t errors = filterstats.recverr, deadline = guard.recv_deadline;
    EXPECT_EQ(h.FromNet(h.GatewayFrame(d)), 1u) << what;
    EXPECT_TRUE(h.Drain().empty()) << what;
    EXPECT_TRUE(h.Events().empty()) << what;
    EXPECT_EQ(filterstats.recverr, errors + 1) << what;
    EXPECT_EQ(guard.recv_deadline, deadline) << what;
  }

  Ip back;
};

TEST_P(Replay, DataOutOfBandAndKeepAliveAnswerSentAgainAreRefused) {
  Bytes data = Datagram(1);
  ASSERT_EQ(h.FromNet(h.GatewayFrame(data)), 1u);
  ASSERT_EQ(Delivered(), std::vector<uint32_t>{1});
  ExpectRefused(data, "data datagram");

  Bytes level = h.gateway().Oob(OOB_ACCESS_LEVEL, {3});
  ASSERT_EQ(h.FromNet(h.GatewayFrame(level)), 1u);
  ASSERT_EQ(h.Events(), std::vector<uint32_t>{10});
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Oob(OOB_ACCESS_LEVEL, {4}))), 1u);
  ASSERT_EQ(h.Events(), std::vector<uint32_t>{10});
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
  ExpectRefused(level, "access level");
  EXPECT_EQ(client.access_level, 4) << "the later level stays";

  // An answer ends the wait for it; the same answer later ends no other.
  h.Tick(GUARD_KEEPALIVE_TICKS);
  ASSERT_EQ(h.Drain().size(), 1u) << "a keep-alive";
  Bytes answer = h.gateway().Oob(OOB_KEEPALIVE, {});
  ASSERT_EQ(h.FromNet(h.GatewayFrame(answer)), 1u);
  ASSERT_EQ(client.session_flags & GUARD_KEEPALIVE_WAIT, 0);
  h.Tick(2 * GUARD_KEEPALIVE_TICKS);
  ASSERT_EQ(h.Drain().size(), 2u) << "two keep-alives unanswered";
  ExpectRefused(answer, "keep-alive answer");
  EXPECT_NE(client.session_flags & GUARD_KEEPALIVE_WAIT, 0) << "still waiting for an answer";
  EXPECT_EQ(guard.keepalive_retries, GUARD_KEEPALIVE_RETRIES - 1) << "retries not reset";
}

TEST_P(Replay, ReorderedInsideTheWindowIsTakenOlderIsRefused) {
  std::vector<Bytes> data, frames;
  for (uint32_t i = 0; i < 8; i++) data.push_back(Datagram(i));
  for (uint32_t i = 8; i-- > 0;) frames.push_back(h.GatewayFrame(data[i]));
  for (uint32_t v : h.FromNetBatch(frames)) EXPECT_EQ(v, 1u);
  EXPECT_EQ(Delivered(), (std::vector<uint32_t>{7, 6, 5, 4, 3, 2, 1, 0})) << "a batch in reverse";
  ExpectRefused(data[3], "one of the batch again");

  // Datagrams made but lost on the way, until the next lies a whole window
  // past the first of them.
  Bytes old = Datagram(100), recent = old, last = old;
  for (uint32_t n = 101; CounterOf(last) - CounterOf(old) < REPLAY_WINDOW_UNITS; n++) {
    recent = last;
    last = Datagram(n, 1400);
  }
  ASSERT_EQ(h.FromNet(h.GatewayFrame(last)), 1u);
  ASSERT_EQ(h.FromNet(h.GatewayFrame(recent)), 1u);
  EXPECT_EQ(Delivered().size(), 2u) << "the last and, reordered, the one before it";
  ExpectRefused(old, "a datagram older than the window");
}

TEST_P(Replay, AfterAKeyChangeTheCounterRestartsAndIsTaken) {
  Bytes before = Datagram(1);
  ASSERT_EQ(CounterOf(before), 0u);
  ASSERT_EQ(h.FromNet(h.GatewayFrame(before)), 1u);
  ASSERT_EQ(Delivered(), std::vector<uint32_t>{1});
  Bytes kc = h.gateway().KeyChange();
  ASSERT_EQ(h.FromNet(h.GatewayFrame(kc)), 1u);
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
  h.Tick();
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the client's own key change";
  ASSERT_EQ(client.session_flags & (GUARD_KEYCHANGE | GUARD_NEW_MASTER), 0);
  Bytes first = Datagram(2);
  ASSERT_EQ(CounterOf(first), 0u);
  ASSERT_EQ(h.FromNet(h.GatewayFrame(first)), 1u);
  EXPECT_EQ(Delivered(), std::vector<uint32_t>{2}) << "counter 0 under the new key";
  // The gateway sends its key change again (its acknowledgement was lost):
  // the same key, the same window.
  ASSERT_EQ(h.FromNet(h.GatewayFrame(kc)), 1u);
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement again";
  ExpectRefused(first, "counter 0 again after the key change was sent again");
  ExpectRefused(before, "a datagram of the key before");
}

// The gateway's first key change captured and sent again after its second:
// refused as one receive error, since taking it would bring the first key
// back and open its window again. The second key's traffic goes on, the
// first key's datagrams sent again stay refused, and the client starts no
// key change of its own.
TEST_P(Replay, AnEarlierKeyChangeSentAgainAfterALaterOneIsRefused) {
  auto change = [&] {
    Bytes kc = h.gateway().KeyChange();
    EXPECT_EQ(h.FromNet(h.GatewayFrame(kc)), 1u);
    EXPECT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
    h.Tick();
    EXPECT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the client's own key change";
    return kc;
  };
  const Bytes first = change();
  std::vector<Bytes> earlier;
  for (uint32_t n = 1; n <= 8; n++) {
    earlier.push_back(Datagram(n));
    ASSERT_EQ(h.FromNet(h.GatewayFrame(earlier.back())), 1u);
  }
  ASSERT_EQ(Delivered().size(), 8u);
  change();
  ASSERT_EQ(h.FromNet(h.GatewayFrame(Datagram(9))), 1u);
  ASSERT_EQ(Delivered(), std::vector<uint32_t>{9});
  ExpectRefused(first, "the first key change");
  ASSERT_EQ(h.FromNet(h.GatewayFrame(Datagram(10))), 1u);
  EXPECT_EQ(Delivered(), std::vector<uint32_t>{10}) << "the second key's traffic goes on";
  for (const Bytes &d : earlier) ExpectRefused(d, "a datagram of the first key");
  h.Tick(GUARD_KEYCHANGE_RETRY_TICKS);
  EXPECT_TRUE(h.Drain().empty()) << "the client started a key change";
}

// A new master of the gateway that the session finds no memory to keep
// ends the session with the event of a key change short of memory (the
// service reconnects), its keys and masters gone, rather than being taken
// with an earlier master forgotten.
TEST_P(Replay, AKeyChangeWhoseMasterFindsNoMemoryEndsTheSession) {
  // The receive side's memory is made with the first datagram.
  ASSERT_EQ(h.FromNet(h.GatewayFrame(Datagram(1))), 1u);
  h.Drain();
  std::vector<uint32_t> events;
  // Each key change finds the host's next allocation failing: the store's
  // growth, or else its acknowledgement's, which is then not sent.
  for (uint32_t n = 0; events.empty(); n++) {
    ASSERT_LT(n, 4 * MASTER_INLINE_SLOTS) << "no key change found the memory short";
    Bytes kc = h.gateway().KeyChange();
    testhost::state().fail_alloc_at = 1;
    ASSERT_EQ(h.FromNet(h.GatewayFrame(kc)), 1u);
    testhost::state().fail_alloc_at = 0;
    events = h.Events();
    if (events.empty()) h.Drain();
  }
  EXPECT_EQ(events, std::vector<uint32_t>{DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM});
  EXPECT_TRUE(h.Drain().empty()) << "no acknowledgement of the key change";
  EXPECT_EQ(client.state, zor::tunnel::kIdle);
  EXPECT_EQ(client.session_flags & GUARD_KEYS_EXIST, 0);
  const MasterRing wiped{};
  EXPECT_EQ(memcmp(&client.recv_masters, &wiped, sizeof wiped), 0) << "the masters wiped";
}

// The gateway's acknowledgement of the client's key change, sent again once
// that key change is done, again and again while the gateway is silent: a
// receive error each time and no sign of life (no deadline moves, the wait
// for a keep-alive answer goes on), so the tunnel is lost in the time it
// takes without any answer.
TEST_P(Replay, AnAcknowledgementSentAgainIsNoSignOfLife) {
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().KeyChange())), 1u);
  ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
  h.Tick();
  std::vector<TunnelPeer::Result> own = h.ToGateway(h.Drain());
  ASSERT_EQ(own.size(), 1u);
  ASSERT_EQ(own[0].kind, TunnelPeer::Kind::kKeyChange) << own[0].error;
  ASSERT_EQ(own[0].replies.size(), 1u) << "the gateway's acknowledgement";
  ASSERT_EQ(client.session_flags & (GUARD_KEYCHANGE | GUARD_NEW_MASTER), 0) << "not taken";
  const Bytes ack = h.GatewayFrame(own[0].replies[0]);
  const uint32_t limit = GUARD_KEEPALIVE_TICKS * (GUARD_KEEPALIVE_RETRIES + 1);
  uint32_t ticks = 0;
  std::vector<uint32_t> events;
  for (; events.empty() && ticks <= 2 * limit; ticks++) {
    if (ticks % 30 == 0) {
      const uint32_t errors = filterstats.recverr, deadline = guard.recv_deadline,
                     keepalive = guard.next_keepalive, retries = guard.keepalive_retries;
      const uint8_t flags = client.session_flags;
      ASSERT_EQ(h.FromNet(ack), 1u);
      ASSERT_EQ(filterstats.recverr, errors + 1) << "tick " << ticks;
      ASSERT_TRUE(h.Drain().empty()) << "tick " << ticks;
      ASSERT_EQ(guard.recv_deadline, deadline) << "tick " << ticks;
      ASSERT_EQ(guard.next_keepalive, keepalive) << "tick " << ticks;
      ASSERT_EQ(guard.keepalive_retries, retries) << "tick " << ticks;
      ASSERT_EQ(client.session_flags, flags) << "tick " << ticks;
    }
    h.Tick();
    h.Drain();
    events = h.Events();
  }
  EXPECT_EQ(events, std::vector<uint32_t>{DrvSendEvent_RECONNECT_NOKEEPALIVE});
  EXPECT_LE(ticks, limit) << "the lost tunnel held off";
}

INSTANTIATE_TEST_SUITE_P(Modes, Replay, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

// The masters of a session that outgrew the record go with the filter when
// it is unloaded while connected.
TEST(ReceiveMasters, TheirMemoryGoesWithTheFilter) {
  const long live = testhost::state().live_allocs;
  {
    Harness h;
    ASSERT_TRUE(h.Connect());
    for (uint32_t n = 0; n < 4 * MASTER_INLINE_SLOTS; n++) {
      ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().KeyChange())), 1u);
      ASSERT_EQ(h.ToGateway(h.Drain()).size(), 1u) << "the acknowledgement";
    }
    ASSERT_EQ(client.state, zor::tunnel::kConnected);
    h.Drain();
    Zor_cleanup_module();  // the adapter still bound
    EXPECT_EQ(testhost::state().live_allocs, live);
  }
}

TEST_P(Tunnel, PacketThatCannotBeWrappedIsDroppedNotSentInClear) {
  client.session_flags &= (uint8_t)~GUARD_KEYS_EXIST;
  Ip ip;
  ip.proto = 1;
  EXPECT_EQ(h.FromStack(FromClient(ip, IcmpEcho(1, 1, Text("x")))), 1u);
  EXPECT_TRUE(h.Drain().empty());
}

// Packets for the tunnel while every frame the filter has waits for its
// completion (the host is slow to write): dropped, never let through in
// clear; once the host completes its frames the tunnel carries again.
TEST_P(Tunnel, PacketsFindingNoFrameMemoryAreDroppedNotLetThrough) {
  Bytes secret(1400, 's');
  Ip ip;
  ip.proto = 1;
  const size_t offered = 2000;
  for (size_t i = 0; i < offered; i++)
    ASSERT_EQ(h.FromStack(FromClient(ip, IcmpEcho(9, (uint16_t)i, secret))), 1u) << "packet " << i;
  std::vector<Sent> sent = h.Drain();
  ASSERT_LT(sent.size(), offered) << "the filter's memory never ran out";
  for (const Sent &s : sent) {
    EXPECT_FALSE(Contains(s.bytes, Bytes(secret.begin(), secret.begin() + 64)));
    EXPECT_EQ(Harness::DatagramOf(s).empty(), false);
  }
  ASSERT_EQ(h.FromStack(FromClient(ip, IcmpEcho(9, 1, Text("after")))), 1u);
  auto results = h.ToGateway(h.Drain());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].kind, TunnelPeer::Kind::kData) << results[0].error;
}

// The gateway's datagrams while the filter has no frame memory for what
// they carry: taken and dropped, never handed back for the host to pass up
// to the stack unopened; once the host completes its frames they come
// through again.
TEST_P(Tunnel, DatagramsWhoseInnerPacketFindsNoFrameMemoryAreDropped) {
  const Ip back = OpenUdp();
  // As large as the packets that found no room: no smaller gap serves them.
  auto from_back = [&](const char *text) {
    Bytes payload = Text(text);
    payload.resize(1400, 'p');
    return ThroughGateway(Ipv4(back, Udp(9000, 40001, payload)));
  };
  Ip ip;
  ip.proto = 1;
  for (size_t i = 0; i < 2000; i++)
    ASSERT_EQ(h.FromStack(FromClient(ip, IcmpEcho(9, (uint16_t)i, Bytes(1400, 's')))), 1u);
  const uint32_t errors = filterstats.recverr;
  for (int i = 0; i < 4; i++) EXPECT_EQ(from_back("no room"), 1u) << "datagram " << i;
  EXPECT_EQ(filterstats.recverr, errors + 4) << "each dropped one counted";
  for (const Sent &s : h.Drain())
    EXPECT_FALSE(!s.to_network && Contains(s.bytes, Text("no room")))
        << "a packet for which there was no memory came up after all";
  EXPECT_EQ(from_back("room again"), 1u);
  bool up = false;
  for (const Sent &s : h.Drain()) up = up || (!s.to_network && Contains(s.bytes, Text("room again")));
  EXPECT_TRUE(up);
}

// The local stack's reader is stopped before a packet for the tunnel finds
// no frame memory, and woken once the host completed enough frames.
TEST_P(Tunnel, TheStackReaderIsStoppedBeforeFramesFindNoMemoryAndWokenAfter) {
  Ip ip;
  ip.proto = 1;
  size_t offered = 0;
  const std::vector<void *> wire0 = {&h.dev};
  while (testhost::stops(KERN_FROM_STACK).empty() && offered < 2000) {
    ASSERT_EQ(h.FromStack(FromClient(ip, IcmpEcho(9, (uint16_t)offered, Bytes(1400, 's')))), 1u);
    offered++;
  }
  ASSERT_EQ(testhost::stops(KERN_FROM_STACK), wire0) << "never stopped";
  EXPECT_TRUE(testhost::wakes(KERN_FROM_STACK).empty());
  EXPECT_EQ(h.ToGateway(h.Drain()).size(), offered) << "a packet before the stop was dropped";
  EXPECT_EQ(testhost::wakes(KERN_FROM_STACK), wire0) << "woken once the frames were done";
}

TEST_P(Tunnel, ClearTrafficFromTheGatewayIsRefused) {
  Ip ip;
  ip.src = kGatewayIp;
  ip.dst = kClientIp;
  uint32_t errors = filterstats.recverr;
  EXPECT_EQ(h.FromNet(FromGateway(ip, Udp(88, kClientPort, Text("not the tunnel port")))), 1u);
  EXPECT_EQ(filterstats.recverr, errors + 1);
  ip.proto = 6;
  EXPECT_EQ(h.FromNet(FromGateway(ip, TcpSegment({}))), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, Tunnel, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
}  // namespace pp
