#include "tools/gwsim/tunnel_peer.h"

#include <sys/random.h>

#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/tunnel_crypto.h"
#include "kernel/filter/wire_format.h"

namespace gwsim {
namespace {

using namespace zor::wire;

constexpr size_t kDataHead = sizeof(DataHead), kKeyChangeLen = sizeof(KeyChange),
                 kAckLen = sizeof(KeyChangeAck), kOobHead = sizeof(OobHead) + sizeof(OobTrailer);
constexpr uint8_t kInnerTtl = 64;
constexpr size_t kShortest = 16;   // below this no datagram of the client is looked into
constexpr uint16_t kKeepAlive = 16384;
constexpr uint8_t kProtocolFlag = 0x10;

void Random(void *p, size_t n) {
  if (getrandom(p, n, 0) != (ssize_t)n) abort();
}

uint16_t Sum(const uint8_t *p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += (uint32_t)(p[i] << 8 | p[i + 1]);
  if (n & 1) s += (uint32_t)p[n - 1] << 8;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return (uint16_t)s;
}

}  // namespace

TunnelSession SessionOf(const HandshakePeer &peer, bool mgm) {
  TunnelSession s;
  memcpy(s.to_client, peer.key_block(), 32);
  memcpy(s.from_client, peer.key_block() + 32, 32);
  memcpy(s.client_master, peer.okf_send_master(), 32);
  memcpy(s.gw_nonce, peer.gw_nonce(), 16);
  memcpy(s.client_nonce, peer.client_nonce(), 16);
  s.session_id = peer.session_id();
  s.variant = peer.variant();
  s.mgm = mgm;
  return s;
}

TunnelPeer::TunnelPeer(const TunnelSession &s) : s_(s) {
  memcpy(send_master_, s.to_client, 32);
  memcpy(recv_master_, s.client_master, 32);
}

const uint8_t *TunnelPeer::RecvKey(uint32_t counter) {
  uint32_t index = GuardKeyIndex(counter);
  if (index != recv_index_) GuardPacketKey(recv_master_, s_.from_client, index, recv_packet_);
  recv_index_ = index;
  return recv_packet_;
}

const uint8_t *TunnelPeer::SendKey(uint32_t counter) {
  uint32_t index = GuardKeyIndex(counter);
  if (index != send_index_) GuardPacketKey(send_master_, s_.from_client, index, send_packet_);
  send_index_ = index;
  return send_packet_;
}

TunnelPeer::Result TunnelPeer::Take(const uint8_t *d, size_t n, uint32_t client_addr,
                                    uint16_t outer_flags) {
  Bytes copy(d, d + n);
  Result r;
  if (n < kShortest) {
    r.error = "short datagram";
    return r;
  }
  switch (PacketTypeOf(copy.data())) {
    case kData: return TakeData(copy.data(), n, client_addr, outer_flags);
    case kOob: return TakeOob(copy.data(), n);
    case kKeyChange: return TakeKeyChange(copy.data(), n);
    case kAck: return TakeAck(copy.data(), n);
    default: r.error = "unknown type"; return r;
  }
}

TunnelPeer::Result TunnelPeer::TakeData(uint8_t *d, size_t n, uint32_t client_addr,
                                        uint16_t outer_flags) {
  Result r;
  if (n < kDataHead) return r.error = "short data datagram", r;
  const DataHead *h = As<DataHead>(d);
  if (h->session_id != s_.session_id) return r.error = "session id", r;
  uint32_t counter = h->counter;
  if (!GuardOpenData(d, (uint32_t)n, RecvKey(counter), counter, s_.gw_nonce, s_.mgm))
    return r.error = "authentication", r;
  return Inner(d, n, client_addr, outer_flags);
}

void TunnelPeer::InnerHeader(const DataHead &h, size_t payload, uint32_t client_addr,
                             uint16_t outer_flags, uint8_t *ip) {
  memset(ip, 0, IPH_MIN_LEN);
  ip[IPH_VHL] = IP_VHL_V4_MIN;
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)(IPH_MIN_LEN + payload));
  store_be16(ip + IPH_ID, h.inner_id);
  store_be16(ip + IPH_FRAG, (uint16_t)(outer_flags & IP_DONT_FRAGMENT));
  ip[IPH_TTL] = kInnerTtl;
  ip[IPH_PROTO] = h.inner_proto;
  memcpy(ip + IPH_SRC, &client_addr, 4);
  memcpy(ip + IPH_DST, h.far_addr, 4);
  store_be16(ip + IPH_CHECKSUM, (uint16_t)~Sum(ip, IPH_MIN_LEN));
}

TunnelPeer::Result TunnelPeer::Inner(const uint8_t *d, size_t n, uint32_t client_addr,
                                     uint16_t outer_flags) {
  Result r;
  size_t payload = n - kDataHead;
  r.inner.assign(IPH_MIN_LEN + payload, 0);
  InnerHeader(*As<DataHead>(d), payload, client_addr, outer_flags, r.inner.data());
  memcpy(r.inner.data() + IPH_MIN_LEN, d + kDataHead, payload);
  r.kind = Kind::kData;
  return r;
}

bool TunnelPeer::IsSessionData(const uint8_t *d, size_t n) const {
  return n >= kDataHead && PacketTypeOf(d) == kData && As<DataHead>(d)->session_id == s_.session_id;
}

TunnelPeer::Result TunnelPeer::TakeOob(uint8_t *d, size_t n) {
  Result r;
  const OobHead *h = As<OobHead>(d);
  if (n < kOobHead || kOobHead + h->length > n) return r.error = "short out-of-band", r;
  uint32_t len = h->length, counter = h->counter;
  if (!GuardOpenOob(d, len, RecvKey(counter), counter, s_.gw_nonce, s_.mgm))
    return r.error = "out-of-band authentication", r;
  r.kind = Kind::kOob;
  r.code = h->code;
  r.data.assign(d + sizeof(OobHead), d + sizeof(OobHead) + len);
  if (r.code == kKeepAlive) r.replies.push_back(Oob(kKeepAlive, {}));
  return r;
}

TunnelPeer::Result TunnelPeer::TakeKeyChange(uint8_t *d, size_t n) {
  Result r;
  if (n < kKeyChangeLen) return r.error = "short key change", r;
  const zor::wire::KeyChange *kc = As<zor::wire::KeyChange>(d);
  if (kc->h.session_id != s_.session_id) return r.error = "key change session id", r;
  if (!GuardOpenControl(d, kKeyChangeLen, s_.from_client))
    return r.error = "key change imitation", r;
  if (memcmp(kc->h.nonce, s_.gw_nonce, sizeof kc->h.nonce) != 0)
    return r.error = "key change nonce", r;
  if (kc->key_gen != recv_gen_) {
    memcpy(recv_master_, kc->new_master, sizeof kc->new_master);
    recv_index_ = 0;
    recv_gen_ = kc->key_gen;
  }
  keychanges_taken_++;
  Bytes ack = ControlHead((uint8_t)(kAck | (s_.protocol_flag ? kProtocolFlag : 0)), kAckLen);
  As<KeyChangeAck>(ack.data())->acked_gen = recv_gen_;
  GuardSealControl(ack.data(), kAckLen, s_.to_client);
  r.replies.push_back(ack);
  r.kind = Kind::kKeyChange;
  return r;
}

TunnelPeer::Result TunnelPeer::TakeAck(uint8_t *d, size_t n) {
  Result r;
  if (n < kAckLen) return r.error = "short acknowledgement", r;
  if (!GuardOpenControl(d, kAckLen, s_.from_client)) return r.error = "ack imitation", r;
  if (!keychange_pending_ || As<KeyChangeAck>(d)->acked_gen != pending_gen_)
    return r.error = "ack of no key change", r;
  keychange_pending_ = false;
  acks_taken_++;
  r.kind = Kind::kAck;
  return r;
}

Bytes TunnelPeer::ControlHead(uint8_t type, size_t len) const {
  Bytes b(len, 0);
  zor::wire::ControlHead *h = As<zor::wire::ControlHead>(b.data());
  h->magic = kMagic;
  h->type = type;
  h->variant = s_.variant;
  h->session_id = s_.session_id;
  memcpy(h->nonce, s_.client_nonce, sizeof h->nonce);
  return b;
}

uint32_t TunnelPeer::StartData(uint8_t *d, uint32_t len, const uint8_t far[4], uint16_t id,
                               uint8_t proto) {
  memset(d, 0, kDataHead);
  DataHead *h = As<DataHead>(d);
  const uint32_t counter = send_counter_;
  h->type = kData;
  h->key_gen = send_gen_;
  h->counter = counter;
  h->session_id = s_.session_id;
  memcpy(h->far_addr, far, 4);
  h->inner_id = id;
  h->inner_proto = proto;
  send_counter_ = counter + GuardCounterSpan(len);
  return counter;
}

uint16_t TunnelPeer::OuterFlags(const uint8_t *ip) {
  return (uint16_t)(load_be16(ip + IPH_FRAG) & IP_DONT_FRAGMENT);
}

Bytes TunnelPeer::Wrap(const uint8_t *ip, size_t n) {
  const size_t ihl = IpHeaderLen(ip), payload = n - ihl;
  Bytes d(kDataHead + payload);
  uint32_t counter = StartData(d.data(), (uint32_t)d.size(), ip + IPH_SRC, load_be16(ip + IPH_ID),
                               ip[IPH_PROTO]);
  memcpy(d.data() + kDataHead, ip + ihl, payload);
  GuardSealData(d.data(), (uint32_t)d.size(), SendKey(counter), counter, s_.client_nonce, s_.mgm);
  return d;
}

Bytes TunnelPeer::KeyChange() {
  Random(send_master_, 32);
  send_gen_++;
  send_index_ = 0;
  send_counter_ = 0;
  pending_gen_ = send_gen_;
  keychange_pending_ = true;
  Bytes b = ControlHead(kKeyChange, kKeyChangeLen);
  zor::wire::KeyChange *kc = As<zor::wire::KeyChange>(b.data());
  kc->key_gen = send_gen_;
  memcpy(kc->new_master, send_master_, sizeof kc->new_master);
  GuardSealControl(b.data(), kKeyChangeLen, s_.to_client);
  return b;
}

Bytes TunnelPeer::Oob(uint16_t code, const Bytes &data) {
  Bytes b(kOobHead + data.size(), 0);
  uint32_t counter = send_counter_;
  OobHead *h = As<OobHead>(b.data());
  h->magic = kMagic;
  h->type = kOob;
  h->variant = s_.variant;
  h->length = (uint16_t)data.size();
  h->key_gen = send_gen_;
  h->counter = counter;
  h->session_id = s_.session_id;
  h->code = code;
  if (!data.empty()) memcpy(b.data() + sizeof(OobHead), data.data(), data.size());
  GuardSealOob(b.data(), (uint32_t)data.size(), SendKey(counter), counter, s_.client_nonce, s_.mgm);
  send_counter_ = counter + GuardCounterSpan((uint32_t)b.size());
  return b;
}

Bytes TunnelPeer::Status(uint32_t code) const {
  Bytes b(kStatusHead + kTrailer, 0);
  PutHeader(b.data(), kStatus, s_.variant, 0);
  As<StatusHead>(b.data())->code = code;
  SealCrc(b.data(), (uint32_t)b.size());
  return b;
}

}  // namespace gwsim
