// The handshake through the request dispatcher, in process, against the
// gateway simulator's peer: the daemon's requests in the daemon's order, the
// gateway's datagrams handed back one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "byte_order.h"
#include "crypto/crc32.h"
#include "crypto/gost3410.h"
#include "drv_requests.h"
#include "kernel/filter/address_table.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/wire_format.h"
#include "tests/filter/daemon_records.h"
#include "tests/filter/filter_fixture.h"
#include "tools/gwsim/handshake_peer.h"

namespace {

using namespace zor::testrec;
using zor::filtertest::Reply;
using zor::filtertest::Request;
using zor::tunnel::client;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kGateway = 0xCB007101;     // 203.0.113.1
constexpr uint32_t kLocal = 0xCB007102;       // 203.0.113.2
constexpr uint16_t kLocalPort = 40001;

// What a client program returns for a certificate profile's SYN request:
// material of its own (a certificate's key and subject), no key of the
// session.
Bytes CertificateMaterial() {
  Bytes m(104);
  for (size_t i = 0; i < m.size(); ++i) m[i] = (uint8_t)(0xC0 ^ i);
  return m;
}

Bytes Scalar() { return Bytes(client.scalar, client.scalar + 32); }

// The daemon's side of the handshake, step by step.
class Daemon {
 public:
  Bytes synrq;    // as sent: try number stamped, trailer renewed
  Bytes pki;      // payload after the accepted SYN RR
  Bytes synok;
  Bytes keys;     // 64-byte key block after the SYN OKF
  bool certificate = false;   // a certificate profile: no key in the request

  // RQC_INIT .. SYN RQ .. transport ready; the state after each step.
  std::vector<uint8_t> Start() {
    std::vector<uint8_t> states;
    states.push_back(Request(RQC_INIT, InitRecord(kGateway), 692).state());
    states.push_back(Request(RQC_SETAUXINFO, AuxRecord(!certificate), 172).state());
    Bytes group(21, 0);
    memcpy(group.data(), "group-a", 7);
    states.push_back(Request(RQC_SETTUNNELGROUP, group, 21).state());
    uint8_t priv[32];
    for (int i = 0; i < 32; ++i) priv[i] = (uint8_t)(0x11 * (i + 1));
    Reply r = Request(RQC_MAKESYNRQ, certificate ? CertificateMaterial() : EphemeralRecord(priv));
    states.push_back(r.state());
    synrq.assign(r.payload(), r.payload() + r.length());
    states.push_back(Request(RQC_PCONNECTING, Bytes(14), 14).state());
    Bytes sock(8);
    Put32(sock, 0, kLocal);
    Put32(sock, 4, kLocalPort);
    states.push_back(Request(RQC_SETCLIENTSOCKET, sock, 8).state());
    Reply n = Request(RQC_GETNEXTSYNPACKETNUMBER, {}, 18408, 0);
    states.push_back(n.state());
    if (synrq.size() > 8 && synrq[8] != n.payload()[0]) {
      synrq[8] = n.payload()[0];
      Put32(synrq, synrq.size() - 4, ~FCS32(synrq.data(), (uint32_t)synrq.size() - 4));
    }
    return states;
  }

  // RQC_TREATPACKET with one datagram.
  Reply Treat(const Bytes &d) {
    Reply r = Request(RQC_TREATPACKET, d, 18408);
    return r;
  }

  // Every datagram of the gateway's answer; the last reply.
  Reply TreatAll(const std::vector<Bytes> &ds) {
    Reply r{};
    for (auto &d : ds) r = Treat(d);
    return r;
  }

  Reply TransportKey(const uint8_t *key, uint32_t len) {
    return Request(RQC_CREATETRANSPORTKEY, Bytes(key, key + len), 18408);
  }

  Reply MakeSynOk() {
    Reply r = Request(RQC_MAKESYNOK, {}, 18408, 0);
    synok.assign(r.payload(), r.payload() + r.length());
    return r;
  }

  Reply SetKeys() { return Request(RQC_SETKEYS, KeyRecord(keys.data(), kLocal, kLocalPort), 84); }
};

class Handshake : public ::testing::Test {
 protected:
  void SetUp() override { zor::filtertest::Load(); }
  void TearDown() override { zor::filtertest::Unload(); }

  // Up to the accepted SYN RR; the peer answers the SYN RQ.
  Reply ToSynRr(gwsim::HandshakePeer &peer) {
    d.Start();
    Reply r = d.TreatAll(peer.Handle(d.synrq.data(), d.synrq.size()));
    d.pki.assign(r.payload(), r.payload() + r.length());
    return r;
  }

  // Up to the accepted SYN OKF.
  Reply ToSynOkf(gwsim::HandshakePeer &peer) {
    EXPECT_EQ(ToSynRr(peer).status(), 0);
    EXPECT_EQ(d.TransportKey(peer.public_key(), 64).status(), 0);
    EXPECT_EQ(d.MakeSynOk().state(), 5);
    Reply r = d.TreatAll(peer.Handle(d.synok.data(), d.synok.size()));
    d.keys.assign(r.payload(), r.payload() + 64);
    return r;
  }

  void KeyAgreement();

  Daemon d;
};

struct Variation {
  uint8_t variant;
  uint32_t fragment;
  bool shuffle, duplicate;
  bool certificate = false;
};

void PrintTo(const Variation &v, std::ostream *os) { *os << "variant " << (int)v.variant; }

class FullHandshake : public Handshake, public ::testing::WithParamInterface<Variation> {};

TEST_P(FullHandshake, StateWalksToConnectedWithTheGatewaysKeys) {
  gwsim::Options o;
  o.variant = GetParam().variant;
  o.fragment = GetParam().fragment;
  o.shuffle = GetParam().shuffle;
  o.duplicate = GetParam().duplicate;
  gwsim::HandshakePeer peer(o);
  d.certificate = GetParam().certificate;

  std::vector<uint8_t> states = d.Start();
  EXPECT_EQ(states, (std::vector<uint8_t>{2, 2, 2, 1, 3, 3, 3}));
  auto rr = peer.Handle(d.synrq.data(), d.synrq.size());
  ASSERT_FALSE(rr.empty()) << peer.error();
  // The daemon hands datagrams over until the state says the SYN RR is taken.
  Reply r{};
  size_t i = 0;
  while (i < rr.size() && (r = d.Treat(rr[i++])).state() == 3) EXPECT_EQ(r.status(), 0);
  ASSERT_EQ(r.status(), 0);
  ASSERT_EQ(r.state(), 4);
  Bytes pki(r.payload(), r.payload() + r.length());
  for (; i < rr.size(); ++i) {   // late duplicates are ignored
    Reply late = d.Treat(rr[i]);
    EXPECT_EQ(late.status(), 0);
    EXPECT_EQ(late.state(), 4);
    EXPECT_EQ(late.length(), 0u);
  }
  r.buf.resize(24);
  r.buf.insert(r.buf.end(), pki.begin(), pki.end());
  // PKI block: header of 28 bytes, then 'B', 'A' and the extra block.
  const uint8_t *p = r.payload();
  uint32_t a = load_le32(p + 4), b = load_le32(p + 8), c = load_le32(p + 20);
  EXPECT_EQ(a, 64u);
  EXPECT_EQ(b, 25u);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(load_le32(p + 24), 0u);
  EXPECT_EQ(r.length(), 28 + a + b + c);
  EXPECT_EQ(memcmp(p + 28, "gateway certificate block", 25), 0);
  EXPECT_EQ(memcmp(p + 28 + b, peer.public_key(), 64), 0);

  EXPECT_EQ(d.TransportKey(p + 28 + b, 64).status(), 0);
  Reply ok = d.MakeSynOk();
  EXPECT_EQ(ok.state(), 5);
  EXPECT_EQ(ok.buf[3], 10);
  EXPECT_EQ(load_le32(ok.buf.data() + 4), 87u);
  auto okf = peer.Handle(d.synok.data(), d.synok.size());
  ASSERT_EQ(okf.size(), 1u) << peer.error();
  r = d.Treat(okf[0]);
  ASSERT_EQ(r.status(), 0);
  EXPECT_EQ(r.state(), 6);
  EXPECT_EQ(r.length(), 68u);
  ASSERT_TRUE(peer.keys_ready());
  EXPECT_EQ(memcmp(r.payload(), peer.key_block(), 64), 0);
  EXPECT_EQ(Scalar(), Bytes(32, 0)) << "no agreement after the SYN OKF";
  d.keys.assign(r.payload(), r.payload() + 64);

  r = d.SetKeys();
  EXPECT_EQ(r.answer, 26);
  EXPECT_EQ(r.state(), 7);
  EXPECT_EQ(memcmp(client.keys.recv_master, peer.key_block(), 32), 0);
  EXPECT_EQ(memcmp(client.keys.recv_control_key, peer.key_block(), 32), 0);
  EXPECT_EQ(memcmp(client.keys.send_control_key, peer.key_block() + 32, 32), 0);
  EXPECT_EQ(client.keys.send_master_from_peer, o.variant == 16 ? 1 : 0);
  EXPECT_EQ(client.session_id, o.session_id);
}

INSTANTIATE_TEST_SUITE_P(Variants, FullHandshake,
                         ::testing::Values(Variation{17, 0, false, false},
                                           Variation{16, 0, false, false},
                                           Variation{17, 64, true, true},
                                           Variation{16, 100, false, true},
                                           Variation{17, 0, false, false, true},
                                           Variation{16, 64, true, true, true}),
                         [](const auto &info) {
                           const Variation &v = info.param;
                           return "v" + std::to_string(v.variant) + "_frag" +
                                  std::to_string(v.fragment) + (v.shuffle ? "_shuffled" : "") +
                                  (v.duplicate ? "_duplicated" : "") +
                                  (v.certificate ? "_certificate" : "");
                         });

TEST_F(Handshake, ConnectedFilterAnswersWithTheGatewaysConfiguration) {
  gwsim::Options o;
  gwsim::HandshakePeer peer(o);
  ASSERT_EQ(ToSynOkf(peer).status(), 0);
  ASSERT_EQ(d.SetKeys().state(), 7);

  Reply other = Request(RQC_GETVESKCFG_OTHER, {}, 18408, 18408);
  ASSERT_EQ(other.answer, 348);
  const uint8_t *p = other.payload();
  EXPECT_EQ(load_le32(p + 8), 0x08u);        // local flags from the gateway
  EXPECT_EQ(load_le32(p + 12), kLocal);
  EXPECT_EQ(load_le32(p + 42), kGateway);
  EXPECT_STREQ((const char *)p + 47, "group-a");
  EXPECT_STREQ((const char *)p + 68, "example.test");

  Reply cfg = Request(RQC_GETVESKCFG, {}, 1536, 1536);
  ASSERT_EQ(cfg.length(), 24u);
  EXPECT_EQ(load_le32(cfg.payload()), 0xC6336400u);
  EXPECT_EQ(load_le32(cfg.payload() + 4), 24u);
  EXPECT_EQ(load_le32(cfg.payload() + 8), 1u);
  EXPECT_EQ(load_le32(cfg.payload() + 12), 0xC6336435u);
  EXPECT_EQ(load_le32(cfg.payload() + 16), 32u);
  EXPECT_EQ(load_le32(cfg.payload() + 20), 0u);
  EXPECT_EQ(Request(RQC_GETVESKCFG, {}, 23, 23).answer, -2);   // two entries do not fit

  Reply json = Request(RQC_GETSTATUS_JSON, {}, 18408, 18408);
  EXPECT_STREQ((const char *)json.payload(), o.status_text.c_str());
  EXPECT_EQ(json.length(), o.status_text.size() + 1);
  EXPECT_EQ(load_le32(Request(RQC_GETSTAGETIMEOUT, {}, 4).payload()), 5u);

  uint32_t i = zor::tunnel::FindClient(0xC6336407, false, true);
  ASSERT_NE(i, zor::addr::kNotFound);
  EXPECT_EQ(client.table.e[i].kind, zor::addr::kTunnelled);
  EXPECT_EQ(zor::tunnel::FindClient(0xC0000201, false, true), zor::addr::kNotFound);

  // An init record while connected only reconfigures: the tunnel stays up.
  Reply again = Request(RQC_INIT, InitRecord(kGateway), 692);
  EXPECT_EQ(again.answer, 24);
  EXPECT_EQ(again.status(), 0);
  EXPECT_EQ(again.state(), 7);

  uint8_t keys_before[32];
  memcpy(keys_before, client.keys.send_control_key, 32);
  ASSERT_EQ(client.recv_masters.held, 1u) << "the handshake's receive master";
  Reply off = Request(RQC_DISCONNECT, Bytes(8), 8);
  EXPECT_EQ(off.state(), 0);
  EXPECT_NE(memcmp(keys_before, client.keys.send_control_key, 32), 0);
  const MasterRing wiped{};
  EXPECT_EQ(memcmp(&client.recv_masters, &wiped, sizeof wiped), 0)
      << "the receive masters' fingerprints outlived the keys";
  EXPECT_EQ(Bytes(client.master_key, client.master_key + 32), Bytes(32, 0));
  EXPECT_EQ(Bytes(client.scalar, client.scalar + 32), Bytes(32, 0));
}

// Request 41 hands on the suffix list of the gateway's SYN OKF; what is no
// suffix text is not stored, and the handshake goes on either way.
struct SuffixCase {
  const char *name;
  std::string sent;     // TLV 0x44 of the SYN OKF; empty: none sent
  std::string stored;   // request 41's payload
};

class SuffixBlock : public Handshake, public ::testing::WithParamInterface<SuffixCase> {};

TEST_P(SuffixBlock, Request41ReturnsWhatTheGatewaySent) {
  gwsim::Options o;
  o.dns_suffixes = GetParam().sent;
  gwsim::HandshakePeer peer(o);
  ASSERT_EQ(ToSynOkf(peer).state(), 6);
  ASSERT_EQ(d.SetKeys().state(), 7);
  Reply r = Request(RQC_GETDNS_SUFFIX, {}, 18408, 0);
  EXPECT_EQ(r.answer, (int32_t)(24 + GetParam().stored.size()));
  EXPECT_EQ(std::string((const char *)r.payload(), r.length()), GetParam().stored);

  ASSERT_EQ(Request(RQC_DISCONNECT, Bytes(8), 8).state(), 0);
  EXPECT_EQ(Request(RQC_GETDNS_SUFFIX, {}, 18408, 0).answer, 24);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SuffixBlock,
    ::testing::Values(SuffixCase{"list", "a.example;b.example", "a.example;b.example"},
                      SuffixCase{"blanks", "corp.example; lab_1.corp-b.example", "corp.example; lab_1.corp-b.example"},
                      SuffixCase{"longest", std::string(1022, 'a'), std::string(1022, 'a')},
                      SuffixCase{"none", "", ""},
                      SuffixCase{"too_long", std::string(1023, 'a'), ""},
                      SuffixCase{"binary", std::string("\x01\x02\x00\x03", 4), ""},
                      SuffixCase{"line_break", "a.example\nsearch b.example", ""}),
    [](const auto &info) { return std::string(info.param.name); });

// A text with any byte outside letters, digits, '-', '_', '.', ';' and the
// blank is not stored: one row a byte, those between 'Z' and 'a' among them.
TEST_F(Handshake, SuffixTextWithAnyOtherByteIsNotStored) {
  for (int c = 0; c < 256; c++) {
    bool taken = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '.' || c == ';' || c == ' ';
    if (taken) continue;
    SCOPED_TRACE("byte " + std::to_string(c));
    gwsim::Options o;
    o.dns_suffixes = std::string("a") + static_cast<char>(c) + "b.example";
    gwsim::HandshakePeer peer(o);
    ASSERT_EQ(ToSynOkf(peer).state(), 6);
    ASSERT_EQ(d.SetKeys().state(), 7);
    EXPECT_EQ(Request(RQC_GETDNS_SUFFIX, {}, 18408, 0).answer, 24);
    ASSERT_EQ(Request(RQC_DISCONNECT, Bytes(8), 8).state(), 0);
  }
}

TEST_F(Handshake, KeyAgreementVariantTakesTheGatewaysKeyFromTheSynRr) {
  for (bool certificate : {false, true}) {
    SCOPED_TRACE(certificate ? "certificate profile" : "ephemeral key");
    d.certificate = certificate;
    KeyAgreement();
  }
}

void Handshake::KeyAgreement() {
  ASSERT_EQ(Request(RQC_SETAUTHTYPEEXT, Bytes{131}, 1).answer, 24);
  gwsim::HandshakePeer peer(gwsim::Options{});
  Reply r = ToSynRr(peer);
  ASSERT_EQ(r.status(), 0);
  ASSERT_EQ(r.state(), 4);
  uint32_t a = load_le32(r.payload() + 4), b = load_le32(r.payload() + 8), c = load_le32(r.payload() + 20);
  ASSERT_EQ(c, 9u);   // TLV 26, deciphered with the key the agreement gave
  EXPECT_EQ(memcmp(r.payload() + 28 + b + a, "ocsp data", 9), 0);
  EXPECT_EQ(r.length(), 28 + a + b + c);
  // The service still sends the transport key: the same agreement again.
  EXPECT_EQ(d.TransportKey(peer.public_key(), 64).status(), 0);
  EXPECT_EQ(d.MakeSynOk().state(), 5);
  auto okf = peer.Handle(d.synok.data(), d.synok.size());
  ASSERT_EQ(okf.size(), 1u) << peer.error();
  r = d.Treat(okf[0]);
  EXPECT_EQ(r.state(), 6);
  EXPECT_EQ(memcmp(r.payload(), peer.key_block(), 64), 0);
}

TEST_F(Handshake, SynRqCarriesOnlyThePublicKey) {
  d.Start();
  uint8_t priv[32];
  for (int i = 0; i < 32; ++i) priv[i] = (uint8_t)(0x11 * (i + 1));
  auto found = std::search(d.synrq.begin(), d.synrq.end(), priv, priv + 32);
  EXPECT_EQ(found, d.synrq.end());
  EXPECT_EQ(FCS32(d.synrq.data(), (uint32_t)d.synrq.size()), 0xDEBB20E3u);
  Bytes pub = EphemeralRecord(priv);
  auto at = std::search(d.synrq.begin(), d.synrq.end(), pub.begin() + 28, pub.begin() + 92);
  EXPECT_NE(at, d.synrq.end());
}

// A certificate profile: the filter makes the session's key pair. 'A' is
// its public point, then the client's material; the scalar never travels,
// goes with the session, and the next attempt draws a new one.
TEST_F(Handshake, CertificateSynRqLeadsWithTheFiltersOwnPoint) {
  d.certificate = true;
  d.Start();
  Bytes scalar = Scalar();
  ASSERT_NE(scalar, Bytes(32, 0));
  EXPECT_EQ(std::search(d.synrq.begin(), d.synrq.end(), scalar.begin(), scalar.end()), d.synrq.end());
  Bytes copy = d.synrq;
  zor::wire::Tlv a;
  ASSERT_TRUE(zor::wire::TLVFindClear(zor::wire::kTagA, copy.data() + zor::wire::kSynRqHead17,
                                      zor::wire::TlvLengthOf(copy.data()), &a));
  Bytes material = CertificateMaterial();
  ASSERT_EQ(a.length, 64 + material.size());
  uint8_t point[64];
  ASSERT_EQ(R3410_256_PubKey(R34101_SelectParams(1148), point, client.scalar), 0u);
  EXPECT_EQ(Bytes(a.value, a.value + 64), Bytes(point, point + 64));
  EXPECT_EQ(Bytes(a.value + 64, a.value + a.length), material);

  EXPECT_EQ(Request(RQC_DISCONNECT, Bytes(8), 8).state(), 0);
  EXPECT_EQ(Scalar(), Bytes(32, 0));
  d.Start();
  EXPECT_NE(Scalar(), Bytes(32, 0));
  EXPECT_NE(Scalar(), scalar);
  EXPECT_EQ(std::search(d.synrq.begin(), d.synrq.end(), point, point + 64), d.synrq.end());
}

// A SYN RQ that cannot be built takes the scalar with it: the one a
// certificate profile's request drew (too little room for the request, or
// material that leaves the point no room in the datagram), and the one an
// ephemeral key record brought.
TEST_F(Handshake, SynRqThatCannotBeBuiltWipesTheScalar) {
  uint8_t priv[32];
  for (int i = 0; i < 32; ++i) priv[i] = (uint8_t)(0x31 + i);
  struct Case {
    const char *name;
    bool certificate;
    Bytes material;
    uint32_t room;
  } cases[] = {
      {"certificate, no room for the request", true, CertificateMaterial(), 100},
      {"certificate, material past the datagram", true, Bytes(16384, 0x5A), 18408},
      {"ephemeral key, no room for the request", false, EphemeralRecord(priv), 150},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Request(RQC_INIT, InitRecord(kGateway), 692).status(), 0);
    ASSERT_EQ(Request(RQC_SETAUXINFO, AuxRecord(!c.certificate), 172).answer, 24);
    Reply r = Request(RQC_MAKESYNRQ, c.material, c.room);
    EXPECT_LT(r.answer, 0);
    EXPECT_EQ(Scalar(), Bytes(32, 0));
  }
}

// Request 31 tells a refused gateway key from a session without a key pair.
TEST_F(Handshake, TransportKeyOffTheCurveOrWithoutAKeyPairIsRefused) {
  d.certificate = true;
  gwsim::HandshakePeer peer(gwsim::Options{});
  ASSERT_EQ(ToSynRr(peer).state(), 4);
  Bytes off_curve(64, 1);
  Reply r = d.TransportKey(off_curve.data(), 64);
  EXPECT_EQ(r.status(), -22);
  EXPECT_EQ(r.state(), 4);
  EXPECT_EQ(d.TransportKey(peer.public_key(), 64).status(), 0);   // the key pair stays
  ASSERT_EQ(d.MakeSynOk().state(), 5);
  auto okf = peer.Handle(d.synok.data(), d.synok.size());
  ASSERT_EQ(okf.size(), 1u) << peer.error();
  ASSERT_EQ(d.Treat(okf[0]).state(), 6);
  EXPECT_EQ(d.TransportKey(peer.public_key(), 64).status(), -5);  // gone with the SYN OKF
}

// Tag and length of every TLV of a SYN RQ, in order.
std::vector<std::pair<uint8_t, uint16_t>> SynRqTlvs(const uint8_t *d, uint32_t len) {
  uint32_t at = d[5] == 16 ? zor::wire::kSynRqHead16 : zor::wire::kSynRqHead17;
  std::vector<std::pair<uint8_t, uint16_t>> tlvs;
  while (at + 4 <= len - 4) {
    uint16_t n = load_le16(d + at + 2);
    tlvs.push_back({d[at], n});
    at += 4 + n;
  }
  return tlvs;
}

TEST_F(Handshake, ProbeCarriesTheTlvsOfTheRequest) {
  using Tlvs = std::vector<std::pair<uint8_t, uint16_t>>;
  const Tlvs ephemeral = {{'A', 64}, {'G', 32}, {'F', 4}, {0x19, 1}};
  const Tlvs block = {{'A', 124}, {0x19, 1}};
  const Tlvs point_and_block = {{'A', 64 + 124}, {0x19, 1}};
  uint8_t priv[32];
  for (int i = 0; i < 32; ++i) priv[i] = (uint8_t)(0x21 + i);
  for (bool aux_ephemeral : {true, false}) {
    SCOPED_TRACE(aux_ephemeral ? "auxiliary flag bit 4" : "no bit 4");
    ASSERT_EQ(Request(RQC_INIT, InitRecord(kGateway), 692).status(), 0);
    ASSERT_EQ(Request(RQC_SETAUXINFO, AuxRecord(aux_ephemeral), 172).answer, 24);
    Reply probe = Request(RQC_MAKESYNRQ_CHECKAVAILABLE, EphemeralRecord(priv));
    ASSERT_GT(probe.answer, 24);
    EXPECT_EQ(SynRqTlvs(probe.payload(), probe.length()), aux_ephemeral ? ephemeral : block);
    EXPECT_EQ(Bytes(client.scalar, client.scalar + 32), Bytes(32, 0))
        << "the probe keeps no scalar";
    Reply rq = Request(RQC_MAKESYNRQ, EphemeralRecord(priv));
    ASSERT_GT(rq.answer, 24);
    EXPECT_EQ(SynRqTlvs(rq.payload(), rq.length()), aux_ephemeral ? ephemeral : point_and_block);
  }
}

// IPv4/UDP around a payload, as the packet path sees it.
Bytes Udp(uint16_t sport, uint16_t dport, const Bytes &payload) {
  Bytes ip(28 + payload.size(), 0);
  ip[0] = 0x45;
  ip[9] = 17;
  ip[20] = (uint8_t)(sport >> 8);
  ip[21] = (uint8_t)sport;
  ip[22] = (uint8_t)(dport >> 8);
  ip[23] = (uint8_t)dport;
  uint16_t ulen = (uint16_t)(8 + payload.size());
  ip[24] = (uint8_t)(ulen >> 8);
  ip[25] = (uint8_t)ulen;
  memcpy(ip.data() + 28, payload.data(), payload.size());
  return ip;
}

TEST_F(Handshake, PacketPathRecognisesTheStampedSynRqAndTheReplies) {
  gwsim::HandshakePeer peer(gwsim::Options{});
  d.Start();
  Bytes out = Udp(kLocalPort, 87, d.synrq);
  EXPECT_EQ(zor::tunnel::ClientIsSendInitVPNPack(out.data(), (uint32_t)out.size()), 1);
  Bytes other = d.synrq;
  other[40] ^= 1;
  out = Udp(kLocalPort, 87, other);
  EXPECT_EQ(zor::tunnel::ClientIsSendInitVPNPack(out.data(), (uint32_t)out.size()), 0);

  auto rr = peer.Handle(d.synrq.data(), d.synrq.size());
  Bytes in = Udp(87, kLocalPort, rr[0]);
  EXPECT_EQ(zor::tunnel::ClientIsRecvInitVPNPack(in.data(), (uint32_t)in.size()), 1);
  in = Udp(87, kLocalPort + 1, rr[0]);
  EXPECT_EQ(zor::tunnel::ClientIsRecvInitVPNPack(in.data(), (uint32_t)in.size()), 0);
}

// A refused datagram: its status, and the state it leaves.
struct Refusal {
  const char *name;
  gwsim::Options o;
  int32_t status;
  uint8_t state;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

gwsim::Options With(void (*f)(gwsim::Options &)) {
  gwsim::Options o;
  f(o);
  return o;
}

class SynRrRefusal : public Handshake, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SynRrRefusal, GivesItsStatusAndKeepsTheState) {
  gwsim::HandshakePeer peer(GetParam().o);
  Reply r = ToSynRr(peer);
  EXPECT_EQ(r.status(), GetParam().status);
  EXPECT_EQ(r.state(), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, SynRrRefusal,
    ::testing::Values(
        Refusal{"bad_crc", With([](auto &o) { o.fault = gwsim::Fault::kBadCrc; }), 4, 3},
        Refusal{"bad_magic", With([](auto &o) { o.fault = gwsim::Fault::kBadMagic; }), -14, 3},
        Refusal{"wrong_variant", With([](auto &o) { o.fault = gwsim::Fault::kWrongVariant; }), 36, 3},
        Refusal{"truncated", With([](auto &o) { o.fault = gwsim::Fault::kTruncate; }), -9, 3},
        Refusal{"oversized", With([](auto &o) { o.fault = gwsim::Fault::kOversize; }), -9, 3},
        Refusal{"fragment_past_bundle", With([](auto &o) { o.fault = gwsim::Fault::kFragPast; }),
                -9, 3},
        Refusal{"status_5", With([](auto &o) { o.status_code = 5; }), 48, 3},
        Refusal{"status_41", With([](auto &o) { o.status_code = 41; }), 16, 3},
        Refusal{"status_1_ends", With([](auto &o) { o.status_code = 1; }), 44, 0},
        Refusal{"status_wrong_variant", With([](auto &o) {
                  o.status_code = 5;
                  o.fault = gwsim::Fault::kWrongVariant;
                }), 36, 3},
        Refusal{"key_areas_empty", With([](auto &o) { o.options = 0x103; }), -15, 3},
        Refusal{"key_areas_empty_0x400", With([](auto &o) { o.options = 0x503; }), -16, 3},
        Refusal{"clear_data_not_allowed", With([](auto &o) { o.options = 0x0; }), -14, 3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Handshake, StatusValuesComeBackToTheService) {
  gwsim::Options o;
  o.status_code = 24;
  o.status_value = std::string(76, 'x');
  gwsim::HandshakePeer peer(o);
  Reply r = ToSynRr(peer);
  EXPECT_EQ(r.status(), 67);
  ASSERT_EQ(r.length(), 76u);
  EXPECT_EQ(Bytes(r.payload(), r.payload() + 76), Bytes(76, 'x'));

  o.status_code = 19;
  o.status_value.clear();
  gwsim::HandshakePeer otp(o);
  auto st = otp.Handle(d.synrq.data(), d.synrq.size());
  r = d.Treat(st[0]);
  EXPECT_EQ(r.status(), 62);
  EXPECT_EQ(r.length(), 1u);
  EXPECT_EQ(r.payload()[0], 0);
}

TEST_F(Handshake, RepeatedFragmentChangesNothing) {
  gwsim::Options o;
  o.fragment = 60;
  gwsim::HandshakePeer peer(o);
  d.Start();
  auto rr = peer.Handle(d.synrq.data(), d.synrq.size());
  ASSERT_GT(rr.size(), 2u);
  EXPECT_EQ(d.Treat(rr[1]).status(), 0);
  EXPECT_EQ(d.Treat(rr[1]).status(), 0);
  Reply r{};
  for (size_t i = 0; i < rr.size(); ++i)
    if (i != 1) r = d.Treat(rr[i]);
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.state(), 4);
}

// A SYN RR fragment: the image's first 12 bytes with offset off, then the
// image bytes [off + 12, off + 12 + n).
Bytes Fragment(const Bytes &rr, uint16_t off, size_t n) {
  Bytes f(12 + n);
  std::copy(rr.begin(), rr.begin() + 12, f.begin());
  f[10] = (uint8_t)off;
  f[11] = (uint8_t)(off >> 8);
  std::copy(rr.begin() + off + 12, rr.begin() + off + 12 + n, f.begin() + 12);
  return f;
}

TEST_F(Handshake, FragmentsClaimingMoreThanTheReplyAreaAreRefused) {
  gwsim::HandshakePeer peer(gwsim::Options{});
  d.Start();
  auto whole = peer.Handle(d.synrq.data(), d.synrq.size());
  ASSERT_EQ(whole.size(), 1u);
  // A bundle claiming a TLV length of 0xFFFF, padded far past the reply
  // area; the repeats once added up to that total.
  Bytes rr = whole[0];
  rr.resize(20000, 0x5A);
  rr[6] = rr[7] = 0xFF;
  std::vector<Bytes> hostile = {Bytes(rr.begin(), rr.begin() + 1000)};
  for (uint16_t k = 1; k <= 17; ++k) hostile.push_back(Fragment(rr, (uint16_t)(k * 900), 1000));
  for (int i = 0; i < 80; ++i) hostile.push_back(Fragment(rr, 17 * 900, 1000));
  for (const Bytes &f : hostile) {
    Reply r = d.Treat(f);
    ASSERT_EQ(r.status(), -9);
    ASSERT_EQ(r.state(), 3);
  }
  Reply r = d.Treat(whole[0]);
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.state(), 4);
}

TEST_F(Handshake, OverlappingFragmentsDoNotCompleteTheImage) {
  gwsim::HandshakePeer peer(gwsim::Options{});
  d.Start();
  auto whole = peer.Handle(d.synrq.data(), d.synrq.size());
  ASSERT_EQ(whole.size(), 1u);
  const Bytes &rr = whole[0];
  ASSERT_GT(rr.size(), 120u);
  // The head, then pieces at distinct offsets that cover one stretch again
  // and again: their sizes add up past the total, the tail is still missing.
  Reply r = d.Treat(Bytes(rr.begin(), rr.begin() + 32));
  for (uint16_t off = 20; off < 40; ++off) {
    r = d.Treat(Fragment(rr, off, 40));
    ASSERT_EQ(r.status(), 0) << "offset " << off;
    ASSERT_EQ(r.state(), 3) << "offset " << off;
  }
  r = d.Treat(Fragment(rr, 20, rr.size() - 32));
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.state(), 4);
}

TEST_F(Handshake, StatusAfterTheSynRrIsRefused) {
  gwsim::HandshakePeer peer(gwsim::Options{});
  ASSERT_EQ(ToSynRr(peer).state(), 4);
  Reply r = d.Treat(peer.Status(5, 0, "", 17));
  EXPECT_EQ(r.status(), -1);
  EXPECT_EQ(r.state(), 4);
}

// A wrong imitation refuses the SYN OKF with -8 and keeps the state: the
// trailer's (variant 17), or TLV 20's own, which is checked whatever seals
// the datagram (the imitation of variant 17, the CRC of variant 16).
struct BadImitation {
  const char *name;
  gwsim::Fault fault;
  uint8_t variant;
};

void PrintTo(const BadImitation &b, std::ostream *os) { *os << b.name; }

class SynOkfWithBadImitation : public Handshake, public ::testing::WithParamInterface<BadImitation> {};

TEST_P(SynOkfWithBadImitation, IsRefused) {
  gwsim::Options o;
  o.variant = GetParam().variant;
  o.fault = GetParam().fault;
  gwsim::HandshakePeer peer(o);
  Reply r = ToSynOkf(peer);
  EXPECT_EQ(r.status(), -8);
  EXPECT_EQ(r.state(), 5);
  EXPECT_EQ(r.length(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Imitations, SynOkfWithBadImitation,
    ::testing::Values(BadImitation{"Trailer17", gwsim::Fault::kBadOkfImit, 17},
                      BadImitation{"Configuration16", gwsim::Fault::kBadDynCfgImit, 16},
                      BadImitation{"Configuration17", gwsim::Fault::kBadDynCfgImit, 17}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Handshake, SynOkfRefusalsKeepTheState) {
  gwsim::Options o;
  gwsim::HandshakePeer peer(o);
  ASSERT_EQ(ToSynRr(peer).status(), 0);
  ASSERT_EQ(d.TransportKey(peer.public_key(), 64).status(), 0);
  d.MakeSynOk();
  Bytes okf = peer.Handle(d.synok.data(), d.synok.size()).at(0);
  Bytes shorter(okf.begin(), okf.end() - 1);
  EXPECT_EQ(d.Treat(shorter).status(), 4);
  Bytes other = okf;
  other[5] = 16;
  EXPECT_EQ(d.Treat(other).status(), 36);
  Reply r = d.Treat(okf);
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.state(), 6);
}

TEST_F(Handshake, SynOkfWithPlainConfigurationFormatIsRefused) {
  gwsim::Options o;
  o.dyncfg_format = 0x0110;
  gwsim::HandshakePeer peer(o);
  Reply r = ToSynOkf(peer);
  EXPECT_EQ(r.status(), 6);
  EXPECT_EQ(r.state(), 5);
}

TEST_F(Handshake, StatusOnSynOkIsMapped) {
  gwsim::Options o;
  o.okf_status_code = 24;
  o.status_value = "refused";
  gwsim::HandshakePeer peer(o);
  Reply r = ToSynOkf(peer);
  EXPECT_EQ(r.status(), 67);
  EXPECT_EQ(r.state(), 5);
  EXPECT_EQ(Bytes(r.payload(), r.payload() + r.length()), Bytes({'r', 'e', 'f', 'u', 's', 'e', 'd'}));
}

TEST_F(Handshake, KeysWithBadCheckValueOrOtherBlockAreRefused) {
  gwsim::HandshakePeer peer(gwsim::Options{});
  ASSERT_EQ(ToSynOkf(peer).state(), 6);
  Bytes rec = KeyRecord(d.keys.data(), kLocal, kLocalPort);
  rec[80] ^= 1;
  Reply r = Request(RQC_SETKEYS, rec, 84);
  EXPECT_EQ(r.status(), -5);
  EXPECT_EQ(r.state(), 6);
  Bytes other = d.keys;
  other[40] ^= 1;
  r = Request(RQC_SETKEYS, KeyRecord(other.data(), kLocal, kLocalPort), 84);   // check value fits
  EXPECT_EQ(r.status(), -5);
  EXPECT_EQ(r.state(), 6);
  EXPECT_EQ(Request(RQC_SETKEYS, KeyRecord(d.keys.data(), kLocal, kLocalPort), 84).state(), 7);
}

}  // namespace
