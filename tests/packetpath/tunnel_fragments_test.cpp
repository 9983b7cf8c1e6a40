// Tunnel datagrams above the adapter's MTU (1500): to the gateway they leave
// as IPv4 fragments that the gateway's IP layer joins into the datagram it
// opens; from the gateway, outer fragments are joined before the tunnel
// takes the datagram, in any order; a missing one delivers nothing, an
// overlapping one (a duplicate too) starts the entry afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "byte_order.h"
#include "kernel/filter/ip_fragments.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/ip_reassembly.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/tunnel_client.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using gwsim::TunnelPeer;
using zor::tunnel::client;

constexpr uint32_t kMtu = 1500;
// What a datagram adds to its inner packet, whose IPv4 header becomes the
// outer one: the UDP header and the data header.
constexpr uint32_t kWrap = 8 + 26;

Bytes Payload(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 7 + i / 251);
  return b;
}

// A UDP packet of the local stack with n data bytes.
Bytes StackUdp(size_t n, uint16_t frag = 0) {
  Ip ip;
  ip.frag = frag;
  return Ipv4(ip, Udp(40001, 9000, Payload(n)));
}

// What the receiving IP layer does: the fragments' payloads joined behind
// the first one's headers (Ethernet and IPv4), MF and offset cleared.
Bytes Join(std::vector<Bytes> frames) {
  auto offset = [](const Bytes &f) { return (load_be16(&f[14 + 6]) & IP_OFFSET_MASK) * 8u; };
  std::sort(frames.begin(), frames.end(),
            [&](const Bytes &a, const Bytes &b) { return offset(a) < offset(b); });
  const uint32_t ihl = (frames[0][14] & 15) * 4u;
  Bytes whole(frames[0].begin(), frames[0].begin() + 14 + ihl);
  for (const Bytes &f : frames) {
    EXPECT_EQ(offset(f), whole.size() - 14 - ihl) << "a gap or an overlap";
    whole.insert(whole.end(), f.begin() + 14 + (f[14] & 15) * 4, f.end());
  }
  store_be16(&whole[14 + 2], (uint16_t)(whole.size() - 14));
  store_be16(&whole[14 + 6], load_be16(&whole[14 + 6]) & IP_DONT_FRAGMENT);
  Reseal(&whole[14]);
  return whole;
}

class TunnelFragments : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ASSERT_TRUE(h.Connect(GetParam())); }
  Harness h;
};

TEST_P(TunnelFragments, DatagramsAboveTheMtuLeaveAsFragmentsTheGatewayJoins) {
  struct Case {
    const char *what;
    size_t data;       // UDP data bytes of the inner packet
    uint16_t frag;     // its flags word
    size_t frames;     // on the wire
  };
  const Case cases[] = {
      {"exactly the MTU", kMtu - kWrap - 28, 0, 1},
      {"one byte above", kMtu - kWrap - 28 + 1, 0, 2},
      {"a last fragment of an odd length", 3001, 0, 3},
      // A frame of the filter holds 65,535 bytes at most, link header included.
      {"the largest datagram the tunnel carries", 65535 - 14 - kWrap - 28, 0, 45},
      {"DF set: cut, each fragment keeping it", 3000, IP_DONT_FRAGMENT, 3},
  };
  for (const Case &c : cases) {
    const Bytes inner = StackUdp(c.data, c.frag);
    ASSERT_EQ(h.FromStack(Ether(kGatewayMac, kClientMac, 0x0800, inner)), 1u) << c.what;
    std::vector<Sent> sent = h.Drain();
    ASSERT_EQ(sent.size(), c.frames) << c.what;
    std::vector<Bytes> frames;
    for (size_t i = 0; i < sent.size(); i++) {
      const Bytes &f = sent[i].bytes;
      const uint8_t *ip = &f[14];
      EXPECT_TRUE(sent[i].to_network) << c.what;
      EXPECT_TRUE(IpChecksumOk(ip)) << c.what << ", frame " << i;
      EXPECT_EQ(load_be16(ip + 2) + 14u, f.size()) << c.what;
      if (c.frames > 1) {
        EXPECT_LE(f.size(), 14 + kMtu) << c.what << ", frame " << i;
        const bool last = i + 1 == sent.size();
        EXPECT_EQ((load_be16(ip + 6) & IP_MORE_FRAGMENTS) != 0, !last) << c.what << ", frame " << i;
        EXPECT_EQ(load_be16(ip + 6) & IP_DONT_FRAGMENT, c.frag) << c.what << ", frame " << i;
        EXPECT_TRUE(last || (f.size() - 14 - 20) % 8 == 0) << c.what << ", frame " << i;
      }
      frames.push_back(f);
    }
    const Bytes whole = Join(frames);
    EXPECT_EQ(whole.size(), 14 + kWrap + inner.size()) << c.what;
    EXPECT_TRUE(TransportChecksumOk(&whole[14])) << c.what;
    auto results = h.ToGateway({{true, whole}});
    ASSERT_EQ(results.size(), 1u) << c.what;
    ASSERT_EQ(results[0].kind, TunnelPeer::Kind::kData) << c.what << ": " << results[0].error;
    EXPECT_EQ(load_be16(results[0].inner.data() + 6), c.frag) << c.what << ", at the gateway";
    EXPECT_EQ(Bytes(results[0].inner.begin() + 20, results[0].inner.end()),
              Bytes(inner.begin() + 20, inner.end()))
        << c.what;
  }
}

// Fragments after the first keep only the options marked to be copied
// (kind bit 7), padded to whole words.
TEST(OuterFragments, LaterFragmentsKeepTheCopiedOptionsOnly) {
  Bytes inner = StackUdp(4000);
  // Record route (7, not copied, 7 bytes) and a copied option (0x94, 4 bytes), padded to 12.
  const uint8_t options[12] = {7, 7, 4, 0, 0, 0, 0, 0x94, 4, 0xAB, 0xCD, 0};
  inner.insert(inner.begin() + 20, options, options + sizeof options);
  inner[0] = 0x45 + sizeof options / 4;
  store_be16(&inner[2], (uint16_t)inner.size());
  Reseal(inner.data());
  Bytes frame = Ether(kGatewayMac, kClientMac, 0x0800, inner);
  const uint32_t step = IPFragmentStep(frame.data(), (uint32_t)frame.size(), kMtu);
  ASSERT_EQ(step, (kMtu - 32) / 8 * 8);
  std::vector<Bytes> pieces;
  for (uint32_t off = 0; off < IPFragmentPayload(frame.data()); off += step) {
    Bytes f(IPFragmentFrameLen(frame.data(), step, off));
    IPPutFragment(frame.data(), step, off, f.data());
    EXPECT_TRUE(IpChecksumOk(&f[14]));
    EXPECT_EQ((f[14] & 15) * 4u, off ? 24u : 32u) << "offset " << off;
    if (off) {
      EXPECT_EQ(Bytes(f.begin() + 34, f.begin() + 38), Bytes({0x94, 4, 0xAB, 0xCD}));
    }
    pieces.push_back(f);
  }
  ASSERT_EQ(pieces.size(), 3u);
  Bytes whole = Join(pieces);
  EXPECT_EQ(Bytes(whole.begin() + 14 + 32, whole.end()), Bytes(inner.begin() + 32, inner.end()));
  // Too small an MTU for a fragment, a fragment already, or a frame that fits: not cut.
  EXPECT_EQ(IPFragmentStep(frame.data(), (uint32_t)frame.size(), 39), 0u);
  EXPECT_EQ(IPFragmentStep(pieces[0].data(), (uint32_t)pieces[0].size(), 100), 0u);
  EXPECT_EQ(IPFragmentStep(frame.data(), (uint32_t)frame.size(), (uint32_t)inner.size()), 0u);
}

// The outer fragments of one datagram of the gateway, cut every `piece`
// payload bytes.
std::vector<Bytes> Cut(const Bytes &frame, uint32_t piece) {
  std::vector<Bytes> out;
  for (uint32_t off = 0; off < IPFragmentPayload(frame.data()); off += piece) {
    Bytes f(IPFragmentFrameLen(frame.data(), piece, off));
    IPPutFragment(frame.data(), piece, off, f.data());
    out.push_back(f);
  }
  return out;
}

TEST_P(TunnelFragments, OuterFragmentsFromTheGatewayAreJoinedFirst) {
  Ip back;
  back.src = kCorpIp;
  back.dst = kClientIp;
  const Bytes inner = Ipv4(back, Udp(9000, 40001, Payload(16000)));
  // The flow is opened from the local stack first.
  ASSERT_EQ(h.FromStack(FromClient(Ip{}, Udp(40001, 9000, Payload(10)))), 1u);
  h.ToGateway(h.Drain());
  auto datagram = [&] {
    Bytes d = h.gateway().Wrap(inner.data(), inner.size());
    return Cut(h.GatewayFrame(d), 1480);
  };
  auto delivered = [&] {
    std::vector<Sent> up = h.Drain();
    if (up.size() != 1 || up[0].to_network) return false;
    return Bytes(up[0].bytes.begin() + 34, up[0].bytes.end()) == Bytes(inner.begin() + 20, inner.end());
  };
  struct Case {
    const char *what;
    std::vector<int> order;  // fragment indexes offered; -1: a fragment of another, overlapping
    bool whole;
  };
  const Case cases[] = {
      {"in order", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true},
      {"reversed", {10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, true},
      {"a duplicate overlaps: the entry starts afresh", {0, 1, 2, 2, 3, 4, 5, 6, 7, 8, 9, 10},
       false},
      {"one missing", {0, 1, 2, 3, 4, 6, 7, 8, 9, 10}, false},
      {"an overlap starts afresh", {0, 1, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true},
  };
  for (const Case &c : cases) {
    const std::vector<Bytes> pieces = datagram();
    ASSERT_EQ(pieces.size(), 11u);
    for (int i : c.order) {
      Bytes f = pieces[i < 0 ? 1 : i];
      if (i < 0) {  // the second fragment's bytes at offset 1000, over the first
        store_be16(&f[14 + 6], IP_MORE_FRAGMENTS | 1000 / 8);
        Reseal(&f[14]);
      }
      EXPECT_EQ(h.FromNet(f), 1u) << c.what;
    }
    EXPECT_EQ(delivered(), c.whole) << c.what;
    h.Tick(200);  // what is left waiting expires
    h.Drain();
    EXPECT_EQ(IPReassemblyCount(PORT_NET), 0u) << c.what;
  }
  EXPECT_EQ(client.state, 7);
}

INSTANTIATE_TEST_SUITE_P(Modes, TunnelFragments, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
}  // namespace pp
