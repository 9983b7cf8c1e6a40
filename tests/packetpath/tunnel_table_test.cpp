// The tunnel's datagrams built here by hand, field by field, from the crypto
// library's primitives alone (the Magma imitation, OFB, MGM and KDF_TREE):
// what the filter sends on its data path must be exactly these bytes, and
// the ones built for the gateway's side it must open. The session's inputs
// come from the handshake's far side: the master key agreed from the test's
// own key pair, the nonces and the session id. Neither the filter's nor the
// gateway simulator's protection code builds or checks a datagram here, so
// a fault made alike on both ends of the tunnel (what a MAC covers, an IV,
// a nonce, the key-index rule) shows.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "byte_order.h"
#include "crypto/gost3410.h"
#include "crypto/kdf.h"
#include "crypto/magma.h"
#include "crypto/magma_mgm.h"
#include "crypto/magma_modes.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using zor::tunnel::client;

constexpr uint32_t kMagic = 0xb0ca0010u;
constexpr uint8_t kTypeKeyChange = 7, kTypeAck = 8, kTypeOob = 11, kTypeData = 14;
// The acknowledgement's type byte carries the session's protocol flag in
// bit 4: the init record of tests/filter/daemon_records allows enciphered
// data (its byte 290).
constexpr uint8_t kProtocolFlag = 0x10;
constexpr uint32_t kKeyIndexUnits = 62500;
constexpr uint16_t kOobPlain = 0x4000;
constexpr uint32_t kCurve = 1148;

// A 32-byte key as the eight little-endian cipher words.
struct Words {
  uint32_t w[8];
  explicit Words(const uint8_t key[32]) {
    for (int i = 0; i < 8; i++) w[i] = load_le32(key + 4 * i);
  }
};

enum class Way { kToGateway, kToClient };

// What both ends know of the session once the handshake is done.
struct Session {
  uint8_t vesk[32];            // "vesk seskey": the gateway's direction
  uint8_t client_key[32];      // "client seskey": the client's direction, packet-key base
  uint8_t client_master[32];   // master key of the client's packet keys
  uint8_t gateway_master[32];  // master key of the gateway's packet keys
  // The handshake's far side: the nonces, session id and variant it sent
  // and took.
  const gwsim::HandshakePeer *far = nullptr;
  bool mgm = false;
};

void Derive(const uint8_t master[32], const char *label, uint8_t out[32]) {
  const uint8_t seed = 0x01;
  ASSERT_EQ(KDF_TREE_GOSTR3411_2012_256(master, label, (uint32_t)strlen(label), &seed, 1, out, 32),
            0u);
}

// The session of a finished handshake: the master key is the agreement of
// the daemon's ephemeral key (its record holds the private half at 92)
// with the gateway's public key; the session keys are KDF_TREE over it.
// Variant 17's send master key is the fixed value of the format.
Session SessionOf(const Harness::Keys &keys, const gwsim::HandshakePeer &peer, bool mgm) {
  Session s;
  uint8_t master[32];
  EXPECT_EQ(R3410_256_ECDHE(R34101_SelectParams(kCurve), master, keys.ephemeral.data() + 92,
                            keys.gateway.pub, 64),
            0u);
  Derive(master, "vesk seskey", s.vesk);
  Derive(master, "client seskey", s.client_key);
  EXPECT_EQ(peer.variant(), zor::wire::kVariant17) << "the table's send master key is variant 17's";
  for (int i = 0; i < 4; i++) store_le64(s.client_master + 8 * i, zor::wire::kSendMasterWords[i]);
  memcpy(s.gateway_master, s.vesk, 32);
  s.far = &peer;
  s.mgm = mgm;
  return s;
}

// The sender's nonce is the receiver's own: the client seals with the
// gateway's, the gateway with the client's.
const uint8_t *NonceOf(const Session &s, Way way) {
  return way == Way::kToGateway ? s.far->gw_nonce() : s.far->client_nonce();
}

// Packet key for a counter: key index = counter / 62,500 + 1; the
// packet-key base ("client seskey") enciphered with OFB under the
// direction's master key, the index in both halves of the IV.
Bytes PacketKey(const Session &s, Way way, uint32_t counter) {
  uint32_t index = counter / kKeyIndexUnits + 1;
  uint64_t iv = (uint64_t)index << 32 | index;
  Bytes key(s.client_key, s.client_key + 32);
  Words master(way == Way::kToGateway ? s.client_master : s.gateway_master);
  magma_ofb(master.w, key.data(), 32, &iv);
  return key;
}

// MGM nonce: the counter, zero-extended, XOR the first 8 nonce bytes.
uint64_t MgmNonce(const Session &s, Way way, uint32_t counter) {
  return load_le64(NonceOf(s, way)) ^ counter;
}

// The inner packet's fields that a data datagram carries.
struct Inner {
  uint32_t far;  // the far end, host order
  uint16_t id;
  uint8_t proto;
  Bytes payload;  // everything after the IPv4 header
};

Inner InnerOf(const Bytes &ip, bool from_client) {
  return {load_be32(&ip[from_client ? 16 : 12]), load_be16(&ip[4]), ip[9],
          Bytes(ip.begin() + 20, ip.end())};
}

// Data datagram (type 14): B, type, generation, counter, session id, A,
// far address (network order), inner id, size limit / 8 (none), protocol,
// payload. MGM: bytes 18.. enciphered, bytes 4..17 associated (A's place
// zero), the tag's low half is B, its high half A. MAC + OFB: the
// imitation over bytes 4.. (A's place zero) gives A (its high half) and B
// (its low half), then bytes 14.. enciphered from the IV (counter ^ B, B).
Bytes DataDatagram(const Session &s, Way way, uint8_t generation, uint32_t counter,
                   const Inner &in) {
  Bytes d(26 + in.payload.size(), 0);
  d[4] = kTypeData;
  d[5] = generation;
  store_le32(&d[6], counter);
  store_le32(&d[10], s.far->session_id());
  store_be32(&d[18], in.far);
  store_le16(&d[22], in.id);
  d[24] = 0;
  d[25] = in.proto;
  std::copy(in.payload.begin(), in.payload.end(), d.begin() + 26);
  Bytes key = PacketKey(s, way, counter);
  Words k(key.data());
  const uint32_t len = (uint32_t)d.size();
  if (s.mgm) {
    uint64_t nonce = MgmNonce(s, way, counter), tag = 0;
    magmamgm_aead(k.w, &d[18], len - 18, &nonce, &d[4], 14, &tag, 1);
    store_le32(&d[0], (uint32_t)tag);
    store_le32(&d[14], (uint32_t)(tag >> 32));
    return d;
  }
  uint32_t a = ImPrefixMAGMA(k.w, &d[4], len - 4);
  uint32_t b = ImPrefixMAGMAStoreLO();
  store_le32(&d[0], b);
  store_le32(&d[14], a);
  uint64_t iv = (uint64_t)b << 32 | (counter ^ b);
  magma_ofb(k.w, &d[14], len - 14, &iv);
  return d;
}

// The inner fields of a data datagram opened by the definition above;
// false when its words A and B do not authenticate it.
bool OpenData(const Session &s, Way way, Bytes d, Inner *in) {
  const uint32_t len = (uint32_t)d.size(), counter = load_le32(&d[6]);
  Bytes key = PacketKey(s, way, counter);
  Words k(key.data());
  const uint32_t b = load_le32(&d[0]);
  bool ok;
  if (s.mgm) {
    const uint32_t a = load_le32(&d[14]);
    store_le32(&d[14], 0);
    uint64_t nonce = MgmNonce(s, way, counter), tag = 0;
    magmamgm_aead(k.w, &d[18], len - 18, &nonce, &d[4], 14, &tag, 0);
    ok = (uint32_t)tag == b && (uint32_t)(tag >> 32) == a;
  } else {
    uint64_t iv = (uint64_t)b << 32 | (counter ^ b);
    magma_ofb(k.w, &d[14], len - 14, &iv);
    const uint32_t a = load_le32(&d[14]);
    store_le32(&d[14], 0);
    ok = ImPrefixMAGMA(k.w, &d[4], len - 4) == a && ImPrefixMAGMAStoreLO() == b;
  }
  *in = {load_be32(&d[18]), load_le16(&d[22]), d[25], Bytes(d.begin() + 26, d.end())};
  return ok;
}

// Key change (type 7, 65 bytes: generation at 28, new master key at 29) or
// acknowledgement (type 8, 33 bytes: acknowledged generation at 28): magic,
// type, variant, 0, session id, the receiver's nonce at 12, the imitation
// over bytes 4.. (its own place zero) in the last four bytes; then bytes
// 12.. enciphered with OFB under the direction's control key, the IV being
// bytes 4..11.
Bytes ControlDatagram(const Session &s, Way way, uint8_t type, uint8_t generation,
                      const uint8_t *new_master = nullptr) {
  Bytes d(type == kTypeKeyChange ? 65 : 33, 0);
  store_le32(&d[0], kMagic);
  d[4] = type == kTypeAck ? (uint8_t)(kTypeAck | kProtocolFlag) : type;
  d[5] = s.far->variant();
  store_le32(&d[8], s.far->session_id());
  memcpy(&d[12], NonceOf(s, way), 16);
  d[28] = generation;
  if (new_master) memcpy(&d[29], new_master, 32);
  Words k(way == Way::kToGateway ? s.client_key : s.vesk);
  const uint32_t len = (uint32_t)d.size();
  store_le32(&d[len - 4], ImPrefixMAGMA(k.w, &d[4], len - 4));
  uint64_t iv = load_le64(&d[4]);
  magma_ofb(k.w, &d[12], len - 12, &iv);
  return d;
}

// Out-of-band datagram (type 11, 27 + n bytes): magic, type, variant, n,
// generation, counter at 9, session id at 13, code at 17, the data at 19,
// B at 19 + n, A at 23 + n. MGM: the data enciphered, bytes 0..18
// associated (code bit 0x4000: all 19 + n bytes associated, nothing
// enciphered). MAC + OFB: the imitation over bytes 0..18+n, then the data
// and B enciphered from the IV (counter ^ A, A) unless bit 0x4000 is set.
Bytes OobDatagram(const Session &s, Way way, uint8_t generation, uint32_t counter, uint16_t code,
                  const Bytes &data) {
  const uint32_t n = (uint32_t)data.size();
  Bytes d(27 + n, 0);
  store_le32(&d[0], kMagic);
  d[4] = kTypeOob;
  d[5] = s.far->variant();
  store_le16(&d[6], (uint16_t)n);
  d[8] = generation;
  store_le32(&d[9], counter);
  store_le32(&d[13], s.far->session_id());
  store_le16(&d[17], code);
  std::copy(data.begin(), data.end(), d.begin() + 19);
  Bytes key = PacketKey(s, way, counter);
  Words k(key.data());
  const bool plain = code & kOobPlain;
  if (s.mgm) {
    uint64_t nonce = MgmNonce(s, way, counter), tag = 0;
    if (plain)
      magmamgm_aead(k.w, nullptr, 0, &nonce, d.data(), 19 + n, &tag, 1);
    else
      magmamgm_aead(k.w, &d[19], n, &nonce, d.data(), 19, &tag, 1);
    store_le32(&d[19 + n], (uint32_t)tag);
    store_le32(&d[23 + n], (uint32_t)(tag >> 32));
    return d;
  }
  uint32_t a = ImPrefixMAGMA(k.w, d.data(), 19 + n);
  store_le32(&d[19 + n], ImPrefixMAGMAStoreLO());
  store_le32(&d[23 + n], a);
  uint64_t iv = (uint64_t)a << 32 | (counter ^ a);
  if (!plain) magma_ofb(k.w, &d[19], n + 4, &iv);
  return d;
}

// What a datagram of len bytes moves its sender's counter on by.
uint32_t Span(size_t len) { return (uint32_t)((len + 15) / 16); }

// n bytes that differ from one seed to the next.
Bytes Pattern(size_t n, uint32_t seed) {
  Bytes data(n);
  for (size_t i = 0; i < n; i++) data[i] = (uint8_t)(i * 13 + i / 251 + seed);
  return data;
}

// The inner packets: UDP between the client and the host behind the
// gateway, of n data bytes.
Bytes Outgoing(size_t n, uint16_t id) {
  Ip ip;
  ip.id = id;
  return Ipv4(ip, Udp(40001, 9000, Pattern(n, id)));
}
Bytes Incoming(size_t n, uint16_t id) {
  Ip ip;
  ip.src = kCorpIp;
  ip.dst = kClientIp;
  ip.id = id;
  return Ipv4(ip, Udp(9000, 40001, Pattern(n, id)));
}

class TunnelTable : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // The filter takes MGM only where the processor runs its vector path;
    // elsewhere an MGM row would quietly test MAC+OFB again.
    if (GetParam() && !magma_support_fast_MGM())
      GTEST_SKIP() << "no PCLMULQDQ and SSSE3 here: the filter does not take MGM";
    Harness::Keys keys = Harness::Keys::Make();
    ASSERT_TRUE(h.Connect(GetParam(), Harness::Stage::kConnected, &keys));
    s = SessionOf(keys, h.handshake(), GetParam());
  }

  // The one datagram for the gateway among what the filter sent.
  Bytes OneDatagram() {
    std::vector<Sent> sent = h.Drain();
    EXPECT_EQ(sent.size(), 1u);
    return sent.size() == 1 ? Harness::DatagramOf(sent[0]) : Bytes{};
  }
  // The datagram the filter makes of an inner packet of the local stack.
  Bytes SentFor(const Bytes &inner) {
    EXPECT_EQ(h.FromStack(Ether(kGatewayMac, kClientMac, 0x0800, inner)), 1u);
    return OneDatagram();
  }
  // The IPv4 packet the filter hands up for a datagram of the gateway
  // (empty when it hands nothing up).
  Bytes Opened(const Bytes &datagram) {
    EXPECT_EQ(h.FromNet(h.GatewayFrame(datagram)), 1u);
    for (const Sent &sent : h.Drain())
      if (!sent.to_network) return Bytes(sent.bytes.begin() + 14, sent.bytes.end());
    return {};
  }
  // A datagram of the gateway for an inner packet opens to that packet.
  void ExpectOpened(uint8_t generation, uint32_t counter, const Bytes &inner,
                    const std::string &what) {
    Bytes up = Opened(DataDatagram(s, Way::kToClient, generation, counter, InnerOf(inner, false)));
    ASSERT_EQ(up.size(), inner.size()) << what;
    EXPECT_EQ(load_be32(&up[12]), kCorpIp) << what;
    EXPECT_EQ(load_be16(&up[4]), load_be16(&inner[4])) << what << ": identification";
    EXPECT_EQ(up[9], inner[9]) << what;
    EXPECT_EQ(Bytes(up.begin() + 20, up.end()), Bytes(inner.begin() + 20, inner.end())) << what;
  }

  Harness h;
  Session s;
};

TEST_P(TunnelTable, DataTheFilterSendsIsTheTablesDatagram) {
  const std::optional<uint32_t> go_on;  // the counter runs on from the datagram before
  struct Row {
    const char *what;
    std::optional<uint32_t> set;  // the send counter before the datagram
    uint32_t counter; // the counter the datagram carries
    size_t data;      // UDP data bytes
  };
  const uint32_t last1 = kKeyIndexUnits - 1;
  const size_t big = 1200, small = 30;  // datagrams of 26 + 8 + n bytes
  const Row rows[] = {
      {"the first datagram", 0, 0, 40},
      {"the next one", go_on, Span(26 + 8 + 40), small},
      {"the last counter of key index 1", last1, last1, big},
      {"running on into key index 2", go_on, last1 + Span(26 + 8 + big), 1},
      {"the first counter of key index 2", kKeyIndexUnits, kKeyIndexUnits, small},
      {"back to key index 1", 7, 7, 3},
      {"a restart pending after a key change", 0xFFFFFFFFu, 0, big},
      {"far on", 0x01FFFFF0u, 0x01FFFFF0u, 61},
  };
  uint16_t id = 0x2000;
  for (const Row &r : rows) {
    if (r.set) client.send_counter = *r.set;
    Bytes inner = Outgoing(r.data, id++);
    Bytes got = SentFor(inner);
    EXPECT_EQ(got, DataDatagram(s, Way::kToGateway, 0, r.counter, InnerOf(inner, true))) << r.what;
  }
}

TEST_P(TunnelTable, DataOfTheTableIsOpened) {
  SentFor(Outgoing(4, 1));  // the firewall's session for the answers
  struct Row {
    const char *what;
    uint32_t counter;
    size_t data;
  };
  const Row rows[] = {
      {"counter 0", 0, 40},
      {"the last counter of key index 1", kKeyIndexUnits - 1, 1200},
      {"the first counter of key index 2", kKeyIndexUnits, 3},
      {"back to key index 1, reordered", kKeyIndexUnits - 40, 0},
      {"far on", 0x01FFFFF0u, 61},
  };
  uint16_t id = 0x3000;
  for (const Row &r : rows) ExpectOpened(0, r.counter, Incoming(r.data, id++), r.what);
}

TEST_P(TunnelTable, KeyChangesOfTheGatewayAndTheClientFollowTheTable) {
  SentFor(Outgoing(4, 1));
  // The gateway changes its key: the client acknowledges the generation.
  uint8_t next[32];
  for (int i = 0; i < 32; i++) next[i] = (uint8_t)(0xA5 ^ (i * 29));
  EXPECT_EQ(h.FromNet(h.GatewayFrame(ControlDatagram(s, Way::kToClient, kTypeKeyChange, 1, next))),
            1u);
  EXPECT_EQ(OneDatagram(), ControlDatagram(s, Way::kToGateway, kTypeAck, 1));

  // The gateway's data now comes under packet keys of the new master key.
  memcpy(s.gateway_master, next, 32);
  ExpectOpened(1, 0, Incoming(20, 0x4000), "the gateway's first datagram under its new key");
  ExpectOpened(1, kKeyIndexUnits, Incoming(20, 0x4001), "and its key index 2");

  // On the next tick the client announces the gateway's key as its own, one
  // generation on.
  h.Tick();
  EXPECT_EQ(OneDatagram(), ControlDatagram(s, Way::kToGateway, kTypeKeyChange, 1, next));
  EXPECT_EQ(h.FromNet(h.GatewayFrame(ControlDatagram(s, Way::kToClient, kTypeAck, 1))), 1u);
  EXPECT_TRUE(h.Drain().empty());
  h.Tick(GUARD_KEYCHANGE_RETRY_TICKS);
  EXPECT_TRUE(h.Drain().empty()) << "the acknowledgement ended the key change: no retry";

  // Its data: the new generation, the counter from 0, the new master key.
  memcpy(s.client_master, next, 32);
  Bytes inner = Outgoing(50, 0x4100);
  EXPECT_EQ(SentFor(inner), DataDatagram(s, Way::kToGateway, 1, 0, InnerOf(inner, true)));
}

// The gateway's key changes, some of them sent again: one that brings back
// a master key the session took already is refused whatever its generation
// says (one receive error, nothing sent, no key, index, window, deadline or
// flag changed) and the current key's datagrams go on being taken, the
// replayed key's not; the last generation again is acknowledged again and
// changes nothing; a new master is taken whatever its generation. However
// many key changes came after it, a master stays known.
TEST_P(TunnelTable, KeyChangesSentAgainFollowTheTable) {
  SentFor(Outgoing(4, 1));
  enum Outcome { kTaken, kAckedAgain, kRefused };
  struct Row {
    const char *what;
    uint8_t generation;
    int master;  // 0 the handshake's receive master, else the gateway's n-th
    Outcome outcome;
    uint32_t fresh = 0;  // key changes of new masters, each taken, before the row's
  };
  const Row rows[] = {
      {"key change 1", 1, 1, kTaken},
      {"key change 2", 2, 2, kTaken},
      {"key change 1 again, after 2", 1, 1, kRefused},
      {"key change 2 again", 2, 2, kAckedAgain},
      {"key change 3", 3, 3, kTaken},
      {"key change 2 again, after 3", 2, 2, kRefused},
      {"key change 1 again, after 3", 1, 1, kRefused},
      {"the handshake's master in a key change", 0, 0, kRefused},
      {"a new master under an earlier generation", 1, 4, kTaken},
      {"that key change again", 1, 4, kAckedAgain},
      {"a new master, the generation far on", 200, 5, kTaken},
      {"key change 3 again, after it", 3, 3, kRefused},
      {"key change 1 again, after 64 later ones", 1, 1, kRefused, 60},
      {"key change 2 again, after 63 later ones", 2, 2, kRefused},
      {"key change 1 again, after 300 later ones", 1, 1, kRefused, 236},
      {"the handshake's master, after 301 key changes", 7, 0, kRefused},
  };
  std::vector<std::array<uint8_t, 32>> masters(6 + 60 + 236);
  memcpy(masters[0].data(), s.gateway_master, 32);
  for (size_t m = 1; m < masters.size(); m++) {
    for (int i = 0; i < 32; i++) masters[m][i] = (uint8_t)(m * 61 + i * 7);
    store_le16(masters[m].data(), (uint16_t)m);
  }
  size_t fresh_master = 6;
  // A data datagram of the gateway under master m.
  uint16_t id = 0x5000;
  auto data = [&](int m, uint8_t generation, uint32_t counter) {
    Session under = s;
    memcpy(under.gateway_master, masters[m].data(), 32);
    return DataDatagram(under, Way::kToClient, generation, counter, InnerOf(Incoming(20, id++), false));
  };
  int current = 0;
  uint8_t generation = 0;
  uint32_t counter = 0;
  Bytes last = data(current, generation, counter);
  ASSERT_FALSE(Opened(last).empty());
  counter += Span(last.size());
  for (const Row &r : rows) {
    for (uint32_t k = 0; k < r.fresh; k++) {
      current = (int)fresh_master++;
      generation++;
      ASSERT_EQ(h.FromNet(h.GatewayFrame(ControlDatagram(s, Way::kToClient, kTypeKeyChange,
                                                         generation, masters[current].data()))),
                1u);
      ASSERT_EQ(h.Drain().size(), 1u) << r.what << ": the acknowledgement of a new master";
      counter = 0;
    }
    h.Tick();  // a deadline moved by the key change would show
    h.Drain();  // the client's own key change after one it took
    uint8_t guard_before[sizeof guard], keys_before[sizeof client.keys];
    memcpy(guard_before, &guard, sizeof guard);
    memcpy(keys_before, &client.keys, sizeof client.keys);
    const uint8_t flags = client.session_flags;
    const uint32_t errors = filterstats.recverr, attempts = client.kc_attempts;
    EXPECT_EQ(h.FromNet(h.GatewayFrame(ControlDatagram(s, Way::kToClient, kTypeKeyChange,
                                                       r.generation, masters[r.master].data()))),
              1u)
        << r.what;
    std::vector<Sent> sent = h.Drain();
    if (r.outcome == kRefused) {
      EXPECT_TRUE(sent.empty()) << r.what;
      EXPECT_EQ(filterstats.recverr, errors + 1) << r.what;
      EXPECT_EQ(memcmp(guard_before, &guard, sizeof guard), 0)
          << r.what << ": the index, window, generation or deadline changed";
    } else {
      ASSERT_EQ(sent.size(), 1u) << r.what;
      EXPECT_EQ(Harness::DatagramOf(sent[0]), ControlDatagram(s, Way::kToGateway, kTypeAck, r.generation))
          << r.what;
      EXPECT_EQ(filterstats.recverr, errors) << r.what;
    }
    if (r.outcome == kTaken) {
      current = r.master;
      generation = r.generation;
      counter = 0;
    } else {
      EXPECT_EQ(memcmp(keys_before, &client.keys, sizeof client.keys), 0) << r.what << ": a key changed";
      EXPECT_EQ(memcmp(&guard_before[offsetof(GuardState, replay)], &guard.replay, sizeof guard.replay), 0)
          << r.what << ": the window changed";
      EXPECT_EQ(client.session_flags, flags) << r.what;
      EXPECT_EQ(client.kc_attempts, attempts) << r.what << ": a key change of the client started";
    }
    // The current key's datagram taken before is not taken again, its next
    // one is; a replayed key's datagram is not.
    EXPECT_TRUE(Opened(last).empty()) << r.what << ": the datagram before taken again";
    last = data(current, generation, counter);
    EXPECT_FALSE(Opened(last).empty()) << r.what << ": the current key's next datagram";
    counter += Span(last.size());
    if (r.outcome == kRefused) {
      EXPECT_TRUE(Opened(data(r.master, r.generation, 0)).empty())
          << r.what << ": the replayed key's datagram";
    }
  }
}

TEST_P(TunnelTable, OutOfBandFollowsTheTable) {
  // The keep-alive, sent without encipherment, at the last counter of key
  // index 1 (the gateway gave no 16-byte block in its SYN OKF: no data).
  const uint32_t at = kKeyIndexUnits - 1;
  client.send_counter = at;
  h.Tick(GUARD_KEEPALIVE_TICKS);
  EXPECT_EQ(OneDatagram(), OobDatagram(s, Way::kToGateway, 0, at, OOB_KEEPALIVE, {}));

  // The gateway's access level, enciphered; the client takes it and
  // acknowledges it at the counter the keep-alive moved on to (key index 2).
  const Bytes level = {3};
  EXPECT_EQ(h.FromNet(h.GatewayFrame(OobDatagram(s, Way::kToClient, 0, 77, OOB_ACCESS_LEVEL, level))),
            1u);
  EXPECT_EQ(h.Events(), std::vector<uint32_t>{10});
  EXPECT_EQ(client.access_level, 3);
  EXPECT_EQ(OneDatagram(),
            OobDatagram(s, Way::kToGateway, 0, at + Span(27), OOB_ACCESS_LEVEL_ACK, level));
}

// A segment larger than the path takes is cut into datagrams protected
// together: each opens by the table, their counters follow one another
// across a key-index edge, and their payloads make the segment again.
TEST_P(TunnelTable, DatagramsCutFromOneSegmentOpenByTheTable) {
  Ip ip;
  ip.proto = 6;
  Tcp syn;
  syn.seq = 999;
  syn.options = {2, 4, 0x05, 0xB4};
  ASSERT_EQ(h.FromStack(FromClient(ip, TcpSegment(syn))), 1u);
  Inner in;
  ASSERT_TRUE(OpenData(s, Way::kToGateway, OneDatagram(), &in)) << "the SYN";
  Ip back;
  back.src = kCorpIp;
  back.dst = kClientIp;
  back.proto = 6;
  Tcp synack;
  synack.sport = 7;
  synack.dport = 40001;
  synack.seq = 4999;
  synack.ack = 1000;
  synack.flags = TCP_SYN | TCP_ACK;
  synack.options = {2, 4, 0x05, 0xB4};
  Bytes synack_ip = Ipv4(back, TcpSegment(synack));
  ASSERT_FALSE(Opened(DataDatagram(s, Way::kToClient, 0, 0, InnerOf(synack_ip, false))).empty())
      << "the SYN/ACK";

  // The key index ends some datagrams into the segment.
  const uint32_t first = kKeyIndexUnits - 5 * 92;
  client.send_counter = first;
  Tcp data;
  data.seq = 1000;
  data.ack = 5000;
  data.flags = TCP_ACK;
  data.payload = Pattern(40000, 0);
  ASSERT_EQ(h.FromStack(FromClient(ip, TcpSegment(data))), 1u);
  uint32_t counter = first;
  Bytes joined;
  size_t datagrams = 0;
  for (const Sent &sent : h.Drain()) {
    Bytes d = Harness::DatagramOf(sent);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(load_le32(&d[6]), counter) << "datagram " << datagrams;
    ASSERT_TRUE(OpenData(s, Way::kToGateway, d, &in)) << "datagram " << datagrams;
    EXPECT_EQ(in.far, kCorpIp);
    EXPECT_EQ(in.proto, 6);
    size_t header = (in.payload[12] >> 4) * 4u;
    joined.insert(joined.end(), in.payload.begin() + (long)header, in.payload.end());
    counter += Span(d.size());
    datagrams++;
  }
  EXPECT_GT(datagrams, 20u);
  EXPECT_GT(counter, kKeyIndexUnits) << "the segment ran into key index 2";
  EXPECT_EQ(joined, data.payload);
}

// The gateway's datagrams handed over together, across a key-index edge
// and with one whose MAC-covered byte was flipped: each good one comes up
// in its order, the flipped one does not.
TEST_P(TunnelTable, DatagramsOfTheTableHandedOverTogetherAreOpened) {
  SentFor(Outgoing(4, 1));
  std::vector<Bytes> frames;
  std::vector<uint16_t> want;
  uint32_t counter = kKeyIndexUnits - 40 * Span(26 + 8 + 600);
  for (uint16_t i = 0; i < 80; i++) {
    Bytes inner = Incoming(600, i);
    Bytes d = DataDatagram(s, Way::kToClient, 0, counter, InnerOf(inner, false));
    counter += Span(d.size());
    if (i == 41)
      d[5] ^= 0x01;  // the generation: covered, and read by nothing else
    else
      want.push_back(i);
    frames.push_back(h.GatewayFrame(d));
  }
  for (uint32_t verdict : h.FromNetBatch(frames)) EXPECT_EQ(verdict, 1u);
  std::vector<uint16_t> got;
  for (const Sent &sent : h.Drain())
    if (!sent.to_network) got.push_back(load_be16(&sent.bytes[14 + 4]));
  EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Modes, TunnelTable, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
}  // namespace pp
