// A redirect pending on the port of a tunnelled packet: the local stack gets
// one ICMP Redirect for it, and the packet still goes through the tunnel.
#include <gtest/gtest.h>

#include "byte_order.h"
#include "kernel/filter/adapters.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using gwsim::TunnelPeer;

constexpr uint8_t kHostRedirect = 1;

Bytes Datagram() {
  Ip ip;
  ip.id = 0x4242;
  return FromClient(ip, Udp(40001, 53, Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}));
}

std::vector<Bytes> ToStack(const std::vector<Sent> &sent) {
  std::vector<Bytes> up;
  for (const Sent &s : sent)
    if (!s.to_network) up.push_back(s.bytes);
  return up;
}

class Redirect : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.Connect());
    port = &FilterGetVpnAdapter()->ports[PORT_TERM];
  }
  Harness h;
  FilterPort *port = nullptr;
};

TEST_F(Redirect, PendingRedirectIsSentOnceAndThePacketStillTunnelled) {
  port->redirectpending = 1;
  port->redirectcode = kHostRedirect;
  const Bytes packet = Datagram();
  ASSERT_EQ(h.FromStack(packet), 1u);
  std::vector<Sent> sent = h.Drain();
  EXPECT_EQ(port->redirectpending, 0u);

  std::vector<Bytes> up = ToStack(sent);
  ASSERT_EQ(up.size(), 1u);
  const Bytes &f = up[0];
  const uint8_t *quoted = packet.data() + 14;
  ASSERT_EQ(f.size(), 14u + 20 + 8 + 20 + 8);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), Bytes(kClientMac, kClientMac + 6));
  EXPECT_EQ(Bytes(f.begin() + 6, f.begin() + 12), Bytes(kGatewayMac, kGatewayMac + 6));
  EXPECT_EQ(load_be16(&f[12]), 0x0800);
  const uint8_t *ip = f.data() + 14;
  EXPECT_EQ(ip[0], 0x45);
  EXPECT_EQ(load_be16(ip + 2), 56);
  EXPECT_EQ(ip[9], 1) << "ICMP";
  EXPECT_EQ(load_be32(ip + 12), kCorpIp) << "in the destination's name";
  EXPECT_EQ(load_be32(ip + 16), kClientIp);
  EXPECT_TRUE(IpChecksumOk(ip));
  const uint8_t *icmp = ip + 20;
  EXPECT_EQ(icmp[0], 5) << "redirect";
  EXPECT_EQ(icmp[1], kHostRedirect) << "the port's code";
  EXPECT_EQ(InetSum(icmp, 8 + 28), 0xFFFF);
  EXPECT_EQ(load_be32(icmp + 4), kCorpIp) << "the destination as its own next hop";
  EXPECT_EQ(Bytes(icmp + 8, icmp + 36), Bytes(quoted, quoted + 28)) << "header and 8 bytes";

  bool tunnelled = false;
  for (const TunnelPeer::Result &r : h.ToGateway(sent))
    tunnelled = tunnelled || (r.kind == TunnelPeer::Kind::kData &&
                              Bytes(r.inner.end() - 10, r.inner.end()) ==
                                  Bytes(packet.end() - 10, packet.end()));
  EXPECT_TRUE(tunnelled);

  ASSERT_EQ(h.FromStack(packet), 1u);
  EXPECT_TRUE(ToStack(h.Drain()).empty()) << "one redirect per pending flag";
}

TEST_F(Redirect, NoRedirectWithoutThePendingFlag) {
  port->redirectcode = kHostRedirect;
  ASSERT_EQ(h.FromStack(Datagram()), 1u);
  EXPECT_TRUE(ToStack(h.Drain()).empty());
}

}  // namespace
}  // namespace pp
