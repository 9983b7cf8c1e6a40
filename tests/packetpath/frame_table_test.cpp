// The receive handler's verdicts, frame in -> verdict and frames queued out,
// on Ethernet, PPP and raw-IP adapters; link classification; fragment
// reassembly; the ARP answer and the service's own handshake datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "drv_requests.h"
#include "kernel/filter/frame_classifiers.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/ip_reassembly.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

enum From { kNet, kStack };

Bytes Fill(size_t n, uint8_t v) { return Bytes(n, v); }

Bytes Frame(uint16_t type, size_t body) {
  return Ether(kGatewayMac, kClientMac, type, Fill(body, 0x5A));
}

Bytes Arp(uint16_t op, uint32_t target) {
  Bytes a(28, 0);
  store_be16(&a[0], 1);
  store_be16(&a[2], 0x0800);
  a[4] = 6;
  a[5] = 4;
  store_be16(&a[6], op);
  memcpy(&a[8], kClientMac, 6);
  store_be32(&a[14], kClientIp);
  store_be32(&a[24], target);
  const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return Ether(broadcast, kClientMac, 0x0806, a);
}

Bytes IncomingUdp(size_t payload, uint16_t frag = 0) {
  Ip ip;
  ip.src = kCorpIp;
  ip.dst = kClientIp;
  ip.frag = frag;
  return FromGateway(ip, Udp(53, 40000, Fill(payload, 0x33)));
}

struct Case {
  const char *name;
  uint32_t adapter_type;
  From from;
  Bytes frame;
  uint32_t verdict;
};

Bytes BadChecksum() {
  Bytes f = IncomingUdp(10);
  f[24] ^= 0x40;
  return f;
}

Bytes Ipv4Body(Bytes frame) { return Bytes(frame.begin() + 14, frame.end()); }

Bytes Ppp(uint16_t proto, Bytes body) {
  Bytes f = {(uint8_t)(proto >> 8), (uint8_t)proto};
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

Bytes ZeroChecksum(Bytes ip) {
  ip[10] = ip[11] = 0;
  return ip;
}

Bytes TotalLengthZero() {
  Ip ip;
  Bytes f = FromClient(ip, Udp(40000, 53, Fill(12, 1)));
  f[16] = f[17] = 0;
  return f;
}

Bytes Largest() {
  Ip ip;
  Bytes f = FromClient(ip, Udp(40000, 9, Fill(65535 - 28, 7)));
  f.resize(65556, 0);
  return f;
}

Bytes Raw8023() {
  Bytes f = Frame(100, 60);
  f[14] = f[15] = 0xFF;
  return f;
}

const Case kCases[] = {
    {"oversized frame", 0, kStack, Fill(65557, 0), 1},
    {"largest frame", 0, kStack, Largest(), 0},
    {"runt Ethernet frame", 0, kNet, Fill(10, 0), 1},
    {"IPv6 from the stack", 0, kStack, Frame(0x86DD, 60), 1},
    {"IPv6 from the network", 0, kNet, Frame(0x86DD, 60), 1},
    {"ARP from the network", 0, kNet, Arp(1, kClientIp), 0},
    {"ARP from the stack, no tunnel", 0, kStack, Arp(1, kCorpIp), 0},
    {"EAPOL", 0, kStack, Frame(0x888E, 40), 0},
    {"RARP", 0, kNet, Frame(0x8035, 40), 0},
    {"raw 802.3", 0, kNet, Raw8023(), 0},
    {"bad IPv4 checksum from the network", 0, kNet, BadChecksum(), 1},
    {"bad IPv4 checksum from the stack", 0, kStack, BadChecksum(), 0},
    {"total length 0 from the stack", 0, kStack, TotalLengthZero(), 0},
    {"PPP other protocol", 3, kNet, Ppp(0x0057, Fill(40, 0x60)), 0},
    {"PPP IPv4, checksum left to fill", 3, kNet, Ppp(0x0021, ZeroChecksum(Ipv4Body(IncomingUdp(8)))), 0},
    {"PPP IPv4, wrong checksum kept", 3, kNet, Ppp(0x0021, Ipv4Body(BadChecksum())), 1},
    {"raw IP, checksum left to fill", 2, kNet, ZeroChecksum(Ipv4Body(IncomingUdp(8))), 0},
    {"raw IP, wrong checksum kept", 2, kNet, Ipv4Body(BadChecksum()), 1},
    {"raw IP, header cut short", 2, kNet, Bytes{0x45, 0, 0, 40, 0, 0, 0, 0}, 1},
    {"no MAC header", 1, kNet, Ppp(0x0800, Ipv4Body(IncomingUdp(8))), 0},
};

class FrameTable : public ::testing::TestWithParam<Case> {};

TEST_P(FrameTable, Verdict) {
  const Case &c = GetParam();
  Harness h(c.adapter_type);
  uint32_t v = c.from == kNet ? h.FromNet(c.frame) : h.FromStack(c.frame);
  EXPECT_EQ(v, c.verdict);
  EXPECT_TRUE(h.Drain().empty()) << "nothing is sent on a plain verdict";
  if (c.from == kStack && v != 0 && c.frame.size() <= MAX_FRAME_LEN) {
    EXPECT_NE(memcmp(framePORTTERM, c.frame.data(), c.frame.size() < 64 ? c.frame.size() : 64), 0)
        << "a refused frame of the local stack is masked";
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameTable, ::testing::ValuesIn(kCases), [](const auto &info) {
  std::string n;
  for (const char *p = info.param.name; *p; ++p) n += isalnum((unsigned char)*p) ? *p : '_';
  return n;
});

TEST(LinkClassification, KindsHeaderLengthsAndProtocols) {
  struct L {
    Bytes frame;
    uint32_t headerlen, kind, pid;
  };
  auto llc = [](uint8_t dsap, uint8_t ssap, uint8_t control, size_t total) {
    Bytes f(total, 0);
    store_be16(&f[12], (uint16_t)(total - 14));
    f[14] = dsap;
    f[15] = ssap;
    if (total > 16) f[16] = control;
    return f;
  };
  Bytes snap = llc(0xAA, 0xAA, 3, 30);
  store_be16(&snap[20], 0x0800);
  Bytes snap_other = snap;
  snap_other[17] = 0x01;
  const L cases[] = {
      {Frame(0x0800, 20), 14, 2, 0x0800},
      {llc(0xFF, 0xFF, 0, 30), 14, 5, 0x8137},
      {snap, 22, 10, 0x0800},
      {snap_other, 22, 10, 0},
      {llc(0xAA, 0xAA, 3, 21), LINK_TOO_SHORT, 0, 0},
      {llc(0xAA, 0xAA, 0, 30), 18, 3, 0},
      {llc(0xE0, 0xE0, 3, 30), 17, 3, 0x8137},
      {llc(0xF0, 0xF0, 3, 17), 17, 3, 0xF0},
      {llc(0x42, 0x42, 0, 30), 18, 3, 0},
      {llc(0x42, 0x42, 0, 17), LINK_TOO_SHORT, 0, 0},
      {llc(0x42, 0x42, 3, 16), LINK_TOO_SHORT, 0, 0},
      {Fill(14, 0x08), LINK_TOO_SHORT, 0, 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
    LinkInfo l = DetectFrameAndPid(cases[i].frame.data(), (uint32_t)cases[i].frame.size());
    EXPECT_EQ(l.headerlen, cases[i].headerlen) << "case " << i;
    if (l.headerlen == LINK_TOO_SHORT) continue;
    EXPECT_EQ(l.kind, cases[i].kind) << "case " << i;
    EXPECT_EQ(l.pid, cases[i].pid) << "case " << i;
  }
}

// The classifier reads no byte past the frame: an 802.3 frame that ends
// after its DSAP is too short, whatever the next byte in memory holds.
TEST(LinkClassification, StopsAtTheEndOfTheFrame) {
  for (uint8_t sap : {0xFF, 0xAA, 0xE0}) {
    Bytes memory(16, 0);
    store_be16(&memory[12], 1);
    memory[14] = memory[15] = sap;
    LinkInfo l = DetectFrameAndPid(memory.data(), 15);
    EXPECT_EQ(l.headerlen, LINK_TOO_SHORT) << "sap " << (int)sap;
  }
  Bytes ether = Frame(0x0800, 1);
  EXPECT_EQ(DetectFrameAndPid(ether.data(), 15).headerlen, ETH_HEADER_LEN)
      << "an Ethernet II frame needs no LLC bytes";
}

Bytes Bootp(uint16_t sport, uint16_t dport, uint8_t op, bool cookie) {
  Bytes b(240, 0);
  b[0] = op;
  b[1] = 1;
  b[2] = 6;
  if (cookie) {
    b[236] = 99;
    b[237] = 130;
    b[238] = 83;
    b[239] = 99;
  }
  Ip ip;
  ip.src = 0;
  ip.dst = 0xFFFFFFFFu;
  return FromClient(ip, Udp(sport, dport, b));
}

Bytes Eapol(uint8_t code, uint8_t type, uint16_t eaplen) {
  Bytes body = {code, 1, (uint8_t)(eaplen >> 8), (uint8_t)eaplen, type, 0};
  Bytes f(4 + body.size() + 4, 0);
  f[0] = 1;
  f[3] = (uint8_t)body.size();
  std::copy(body.begin(), body.end(), f.begin() + 4);
  return Ether(kGatewayMac, kClientMac, 0x888E, f);
}

TEST(Classifiers, ArpBootpDhcpAndEapTls) {
  Bytes reply = Arp(2, kCorpIp), other = Arp(9, kCorpIp), bad = Arp(1, kCorpIp);
  bad[18] = 8;  // hardware length
  EXPECT_EQ(IsArpPacket(Arp(1, kCorpIp).data(), 42), 1u);
  EXPECT_EQ(IsArpPacket(reply.data(), 42), 2u);
  EXPECT_EQ(IsArpPacket(other.data(), 42), 3u);
  EXPECT_EQ(IsArpPacket(bad.data(), 42), 0u);
  EXPECT_EQ(IsArpPacket(reply.data(), 41), 0u);

  Bytes req = Bootp(68, 67, 1, true), ack = Bootp(67, 68, 2, false);
  EXPECT_EQ(req.size(), 282u);
  EXPECT_EQ(IsBootpPacket(req.data(), (uint32_t)req.size()), 1u);
  EXPECT_EQ(IsBootpPacket(ack.data(), (uint32_t)ack.size()), 2u);
  EXPECT_EQ(IsDhcpPacket(req.data(), (uint32_t)req.size()), 1u);
  EXPECT_EQ(IsDhcpPacket(ack.data(), (uint32_t)ack.size()), 0u) << "no magic cookie";
  EXPECT_EQ(IsDhcpPacket(req.data(), 281), 0u) << "cookie cut off";
  EXPECT_EQ(IsBootpPacket(req.data(), 277), 0u);
  Bytes ports = Bootp(68, 68, 1, true);
  EXPECT_EQ(IsBootpPacket(ports.data(), (uint32_t)ports.size()), 0u);

  Bytes tls_req = Eapol(1, 13, 6), tls_resp = Eapol(2, 13, 6);
  EXPECT_EQ(IsEapTlsPacket(tls_req.data(), (uint32_t)tls_req.size()), 1u);
  EXPECT_EQ(IsEapTlsPacket(tls_resp.data(), (uint32_t)tls_resp.size()), 2u);
  Bytes md5 = Eapol(1, 4, 6), longer = Eapol(1, 13, 7);
  EXPECT_EQ(IsEapTlsPacket(md5.data(), (uint32_t)md5.size()), 0u);
  EXPECT_EQ(IsEapTlsPacket(longer.data(), (uint32_t)longer.size()), 0u)
      << "EAP longer than its EAPOL body";
}

// Fragments of one UDP datagram from the network.
std::vector<Bytes> Fragments(const Bytes &whole, size_t piece) {
  std::vector<Bytes> out;
  Bytes ip(whole.begin() + 14, whole.end());
  size_t data = ip.size() - 20;
  for (size_t off = 0; off < data; off += piece) {
    size_t n = data - off < piece ? data - off : piece;
    Bytes f(20 + n);
    std::copy(ip.begin(), ip.begin() + 20, f.begin());
    std::copy(ip.begin() + 20 + off, ip.begin() + 20 + off + n, f.begin() + 20);
    store_be16(&f[2], (uint16_t)f.size());
    store_be16(&f[6], (uint16_t)((off / 8) | (off + n < data ? 0x2000 : 0)));
    Reseal(f.data());
    out.push_back(Ether(kClientMac, kGatewayMac, 0x0800, f));
  }
  return out;
}

// The word-wise sum against big-endian pairs added one by one: every length
// (odd tails, partial words), unaligned starts and carried-in sums.
TEST(Checksum, WordSumMatchesThePairwiseSum) {
  uint8_t bytes[80];
  for (size_t i = 0; i < sizeof bytes; i++) bytes[i] = (uint8_t)(0xF7 - 37 * i);
  for (uint32_t start : {0u, 1u, 3u})
    for (uint32_t len = 0; len + start <= sizeof bytes; len++)
      for (uint32_t carried : {0u, 0x1234u, 0xFFFFu, 0x3FFFCu}) {
        const uint8_t *d = bytes + start;
        uint32_t sum = carried;
        for (uint32_t i = 0; i < len; i += 2) sum += (uint32_t)d[i] << 8 | (i + 1 < len ? d[i + 1] : 0);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        EXPECT_EQ(IPSum(d, len, carried), sum) << "start " << start << " len " << len;
      }
  const uint8_t ones[10] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(IPSum(ones, 10, 0), 0xFFFF);
  const uint8_t zeros[12] = {};
  EXPECT_EQ(IPSum(zeros, 12, 0), 0);
}

// Masked bytes run through the random table from an offset that moves by one
// on every call, over any length.
TEST(Masking, OpenDataTakesTheTableFromAMovingOffset) {
  const uint32_t size = sizeof CLI_MASK_OPEN_DATA_rnd;
  auto offset_of = [&](const Bytes &d) {
    for (uint32_t off = 0; off < size; off++) {
      bool all = true;
      for (size_t i = 0; i < d.size() && all; i++)
        all = d[i] == CLI_MASK_OPEN_DATA_rnd[(i + off) % size];
      if (all) return (int)off;
    }
    return -1;
  };
  Bytes probe(200, 0);
  CLI_MASK_OPEN_DATA(probe.data(), (uint32_t)probe.size(), 0);
  int off = offset_of(probe);
  ASSERT_GE(off, 0);
  for (size_t len : {1, 5, 31, 32, 33, 64, 95, 1500}) {
    Bytes d(len, 0);
    CLI_MASK_OPEN_DATA(d.data(), (uint32_t)len, 0);
    off = (off + 1) % (int)size;
    Bytes want(len);
    for (size_t i = 0; i < len; i++) want[i] = CLI_MASK_OPEN_DATA_rnd[(i + off) % size];
    EXPECT_EQ(d, want) << "length " << len;
  }
}

TEST(Reassembly, FragmentsAreRebuiltInAnyOrder) {
  Harness h;
  Bytes whole = IncomingUdp(3000);
  std::vector<Bytes> pieces = Fragments(whole, 1480);
  ASSERT_EQ(pieces.size(), 3u);
  for (int order : {0, 1}) {
    std::vector<Bytes> seq = pieces;
    if (order) std::swap(seq[0], seq[2]);
    for (size_t i = 0; i < seq.size(); i++) {
      EXPECT_EQ(h.FromNet(seq[i]), 1u);
      std::vector<Sent> out = h.Drain();
      if (i + 1 < seq.size()) {
        EXPECT_TRUE(out.empty());
        continue;
      }
      ASSERT_EQ(out.size(), 1u);
      EXPECT_FALSE(out[0].to_network);
      EXPECT_EQ(out[0].bytes, whole) << "the datagram as it was sent, checksum recomputed";
    }
    EXPECT_EQ(IPReassemblyCount(PORT_NET), 0u);
  }
}

TEST(Reassembly, OverlapStartsAfreshAndOversizeDiscards) {
  Harness h;
  std::vector<Bytes> pieces = Fragments(IncomingUdp(3000), 1480);
  EXPECT_EQ(h.FromNet(pieces[0]), 1u);
  EXPECT_EQ(h.FromNet(pieces[0]), 1u) << "an overlapping copy restarts the entry with itself";
  EXPECT_EQ(h.FromNet(pieces[1]), 1u);
  EXPECT_EQ(h.FromNet(pieces[2]), 1u);
  EXPECT_EQ(h.Drain().size(), 1u);

  EXPECT_EQ(h.FromNet(pieces[0]), 1u);
  ASSERT_EQ(IPReassemblyCount(PORT_NET), 1u);
  Bytes last = pieces[2];
  store_be16(&last[20], 65528 / 8);
  last.resize(14 + 20 + 16);
  store_be16(&last[16], 36);
  Reseal(&last[14]);
  EXPECT_EQ(h.FromNet(last), 1u);
  EXPECT_EQ(IPReassemblyCount(PORT_NET), 0u) << "ending beyond 65,536 bytes discards the entry";
  EXPECT_TRUE(h.Drain().empty());
}

// One fragment behind a link header of linklen bytes (0x4C), its IPv4
// header of ihl bytes (options all NOP).
Bytes LinkedFragment(uint32_t linklen, uint32_t ihl, const Bytes &payload, size_t off, size_t n,
                     bool more) {
  Bytes f(linklen, 0x4C);
  Bytes ip(ihl, 1);
  ip[IPH_VHL] = (uint8_t)(0x40 | ihl / 4);
  ip[IPH_TOS] = 0;
  store_be16(&ip[IPH_TOTAL_LEN], (uint16_t)(ihl + n));
  store_be16(&ip[IPH_ID], 0x4242);
  store_be16(&ip[IPH_FRAG], (uint16_t)(off / 8 | (more ? IP_MORE_FRAGMENTS : 0)));
  ip[IPH_TTL] = 64;
  ip[IPH_PROTO] = IPPROTO_UDP_NUM;
  store_be32(&ip[IPH_SRC], kCorpIp);
  store_be32(&ip[IPH_DST], kClientIp);
  CalcChecksum(ip.data());
  f.insert(f.end(), ip.begin(), ip.end());
  f.insert(f.end(), payload.begin() + off, payload.begin() + off + n);
  return f;
}

uint32_t Reassemble(Bytes &frame, uint32_t linklen, IPPacket *p) {
  *p = {};
  p->frame = frame.data();
  p->linklen = linklen;
  p->ip = frame.data() + linklen;
  p->buflen = (uint32_t)frame.size() - linklen;
  EXPECT_EQ(IPParsePacket(p), 0u);
  return IPReassemble(p, PORT_NET);
}

// The packet is rebuilt behind the first fragment's link header, however
// long that and its IPv4 header are and whatever link header the last
// fragment came with.
TEST(Reassembly, RebuildsBehindTheFirstFragmentsLinkHeader) {
  struct Case {
    uint32_t first_link, first_ihl, last_link;
  };
  const Case cases[] = {
      {ETH_HEADER_LEN, IPH_MIN_LEN, ETH_HEADER_LEN},
      {SNAP_HEADER_LEN, IPH_MIN_LEN, ETH_HEADER_LEN},
      {SNAP_HEADER_LEN, IPH_MAX_LEN, ETH_HEADER_LEN},
      {LLC_HEADER_UI_LEN, IPH_MAX_LEN, SNAP_HEADER_LEN},
      {ETH_HEADER_LEN, IPH_MAX_LEN, SNAP_HEADER_LEN},
  };
  Harness h;
  Bytes payload = Udp(53, 40000, Fill(1200, 0x33));
  const size_t cut = 800;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "link " << c.first_link << " ihl " << c.first_ihl
                                    << " last link " << c.last_link);
    Bytes first = LinkedFragment(c.first_link, c.first_ihl, payload, 0, cut, true);
    Bytes last = LinkedFragment(c.last_link, IPH_MIN_LEN, payload, cut, payload.size() - cut, false);
    IPPacket p;
    EXPECT_EQ(Reassemble(first, c.first_link, &p), 1u);
    ASSERT_EQ(Reassemble(last, c.last_link, &p), 0u);
    ASSERT_EQ(p.frame, defragpack);
    EXPECT_EQ(p.linklen, c.first_link);
    EXPECT_EQ(p.ihl, c.first_ihl);
    EXPECT_EQ(p.total, c.first_ihl + payload.size());
    EXPECT_EQ(p.ip, defragpack + c.first_link);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + c.first_link, defragpack));
    EXPECT_EQ(load_be16(p.ip + IPH_FRAG), 0);
    EXPECT_TRUE(IpChecksumOk(p.ip));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), p.ip + p.ihl));
    EXPECT_EQ(IPReassemblyCount(PORT_NET), 0u);
  }
  Bytes longer = LinkedFragment(LINK_MAX_HEADER_LEN + 1, IPH_MAX_LEN, payload, 0, cut, true);
  IPPacket p;
  EXPECT_EQ(Reassemble(longer, LINK_MAX_HEADER_LEN + 1, &p), 1u);
  EXPECT_EQ(IPReassemblyCount(PORT_NET), 0u) << "a link header longer than any known is refused";
}

TEST(Reassembly, EntriesExpire) {
  Harness h;
  std::vector<Bytes> pieces = Fragments(IncomingUdp(3000), 1480);
  EXPECT_EQ(h.FromNet(pieces[0]), 1u);
  h.Tick(181);
  EXPECT_EQ(IPReassemblyCount(PORT_NET), 1u);
  h.Tick(1);
  EXPECT_EQ(IPReassemblyCount(PORT_NET), 0u) << "TTL 64: ten seconds";
}

TEST(Connected, ArpForATunnelledAddressIsAnsweredInTheGatewaysName) {
  Harness h;
  ASSERT_TRUE(h.Connect());
  EXPECT_EQ(h.FromStack(Arp(1, kCorpIp)), 1u);
  std::vector<Sent> out = h.Drain();
  ASSERT_EQ(out.size(), 1u);
  const Bytes &r = out[0].bytes;
  EXPECT_FALSE(out[0].to_network);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), Bytes(kClientMac, kClientMac + 6));
  EXPECT_EQ(Bytes(r.begin() + 6, r.begin() + 12), Bytes(kGatewayMac, kGatewayMac + 6));
  EXPECT_EQ(load_be16(&r[20]), 2);
  EXPECT_EQ(Bytes(r.begin() + 22, r.begin() + 28), Bytes(kGatewayMac, kGatewayMac + 6));
  EXPECT_EQ(load_be32(&r[28]), kCorpIp);
  EXPECT_EQ(load_be32(&r[38]), kClientIp);
  EXPECT_EQ(h.FromStack(Arp(1, kGatewayIp)), 0u) << "the gateway answers for itself";
  EXPECT_EQ(h.FromNet(Arp(1, kCorpIp)), 0u);
}

TEST(Connected, TheServicesOwnHandshakeDatagramsLeaveUnfiltered) {
  Harness h;
  ASSERT_TRUE(h.Connect());
  Bytes reply;
  ASSERT_GT(h.Request(RQC_MAKESYNRQ_CHECKAVAILABLE, Bytes(124, 0), &reply), 24);
  uint32_t len;
  memcpy(&len, reply.data() + 20, 4);
  Bytes probe(reply.begin() + 24, reply.begin() + 24 + len);
  Ip out;
  out.dst = kGatewayIp;
  EXPECT_EQ(h.FromStack(FromClient(out, Udp(kClientPort, 87, probe))), 0u);
  Bytes other = probe;
  other.back() ^= 1;
  EXPECT_EQ(h.FromStack(FromClient(out, Udp(kClientPort, 87, other))), 1u) << "tunnelled";
  h.Drain();

  // The answer: a datagram of the protocol, offered to the handshake.
  Bytes answer = h.handshake().Status(5, 0, "", 17);
  answer.resize(std::max<size_t>(answer.size(), 36), 0);
  Ip in;
  in.src = kGatewayIp;
  in.dst = kClientIp;
  EXPECT_EQ(h.FromNet(FromGateway(in, Udp(87, kClientPort, answer))), 0u);
}

}  // namespace
}  // namespace pp
