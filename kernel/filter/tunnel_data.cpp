#include "kernel/filter/tunnel_data.h"

#include "byte_order.h"
#include "crypto/random.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/frame_context.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/tunnel_ahead.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_crypto.h"
#include "kernel/filter/wire_format.h"

using namespace zor::tunnel;

extern "C" {
GuardState guard;
uint16_t clientnextpackid;
}

namespace {

constexpr uint32_t kChainMin = 9;

uint8_t *key_of(uint32_t send) {
  return send ? client.keys.send_packet_key : client.keys.recv_packet_key;
}

// Reads the datagram's fields into the outer header of the packet: the
// payload moves up behind the IPv4 header.
void rewrite_inner(IPPacket *p, uint8_t *d, uint32_t payload) {
  uint8_t *ip = p->ip;
  const zor::wire::DataHead *h = zor::wire::As<zor::wire::DataHead>(d);
  // The move overwrites the datagram's fields: every one is read first.
  uint32_t limit = (uint32_t)h->size_limit8 * 8;
  store_be16(ip + IPH_ID, h->inner_id);
  memcpy(ip + IPH_SRC, h->far_addr, 4);
  ip[IPH_PROTO] = h->inner_proto;
  memmove(ip + p->ihl, d + GUARD_DATA_HEAD, payload);
  p->src = load_be32(ip + IPH_SRC);
  p->proto = ip[IPH_PROTO];
  uint32_t whole = p->ihl + payload;
  uint32_t total = whole;
  if (!limit) {
    p->limitflags = 0;
  } else if (limit < whole) {
    total = limit;
    p->limitflags = 3;
  } else {
    p->limitflags = 2;
  }
  p->limit = (p->limitflags & 2) ? total : 0;
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)total);
  p->total = total;
  p->payload = total - p->ihl;
  p->buflen = total;
}

// The packet's payload to dst; a segment cut in place gets its TCP
// checksum there, over the bytes it is sent with.
void copy_payload(const IPPacket *p, uint8_t *dst) {
  const uint8_t *payload = p->ip + p->ihl;
  if (!p->cut_data) {
    memcpy(dst, payload, p->payload);
    return;
  }
  uint32_t thl = TcpHeaderLen(payload);
  memcpy(dst, payload, thl);
  memcpy(dst + thl, p->cut_data, p->payload - thl);
  CalcTcpChkSumAt(p->ip, dst, p->payload);
}

// The far end of a decrypted packet in the address table (kind 5 when new).
void note_far_end(IPPacket *p) {
  uint32_t index = FindClient(p->src, true, true);
  if (index == zor::addr::kNotFound && p->src)
    index = zor::addr::Insert(client.table, p->src, zor::addr::kLearnt, curtick);
  p->clientindex = index != zor::addr::kNotFound ? index : 0;
}

int32_t treat_data(IPPacket *p, uint8_t *d, uint32_t len) {
  if (!(client.session_flags & GUARD_KEYS_EXIST)) return GUARD_ERR_NO_KEYS;
  if (ClientMagic() != zor::wire::kMagic) return GUARD_ERR_MAGIC;
  if (len < GUARD_DATA_HEAD) return GUARD_ERR_SHORT_DATA;
  uint32_t counter = zor::wire::As<zor::wire::DataHead>(d)->counter;
  UpdatePacketKey(0, counter);
  uint32_t mgm = GuardUsesMgm(), ok;
  if (!GuardTakeOpenedAhead(p->ctx, d, len, key_of(0), counter, client.client_nonce, mgm, &ok))
    ok = GuardOpenData(d, len, key_of(0), counter, client.client_nonce, mgm);
  if (!ok) return GUARD_ERR_AUTH;
  if (!ReplayWindowTake(&guard.replay, counter)) return GUARD_ERR_REPLAY;
  GuardNoteAnswer();
  rewrite_inner(p, d, len - GUARD_DATA_HEAD);
  guard.recv_deadline = curtick + GUARD_ACTIVITY_TICKS;
  note_far_end(p);
  return 0;
}

// Types 7 and 8 may follow one another in one datagram.
int32_t treat_control_chain(IPPacket *p, uint8_t *d, uint32_t len) {
  for (;;) {
    uint8_t type = zor::wire::PacketTypeOf(d);
    uint32_t used = type == zor::wire::kKeyChange ? GUARD_KEYCHANGE_LEN : GUARD_ACK_LEN;
    int32_t r = type == zor::wire::kKeyChange ? GuardTreatKeyChange(p, d, len)
                                              : GuardTreatAck(d, len);
    if (r < 0) return r;
    if (r != 0 || len < used + kChainMin) {
      guard.recv_deadline = curtick + GUARD_ACTIVITY_TICKS;
      return 1;
    }
    d += used;
    len -= used;
    type = zor::wire::PacketTypeOf(d);
    if (type != zor::wire::kKeyChange && type != zor::wire::kAck) return GUARD_ERR_UNKNOWN_TYPE;
  }
}

}  // namespace

extern "C" {

void GuardStartSession(void) {
  SessionKeys &k = client.keys;
  if (k.send_master_from_peer) memcpy(k.next_send_master, k.send_master, 32);
  // What the packet path learnt of the way to the gateway stays.
  uint8_t mac[ETH_ADDR_LEN], own[4];
  memcpy(mac, guard.gwmac, ETH_ADDR_LEN);
  memcpy(own, guard.ownip, 4);
  memset(&guard, 0, sizeof guard);
  memcpy(guard.gwmac, mac, ETH_ADDR_LEN);
  memcpy(guard.ownip, own, 4);
  guard.next_keepalive = curtick + GUARD_KEEPALIVE_TICKS;
  client.send_counter = 0;
  client.session_flags = GUARD_KEYS_EXIST;
  MasterRingReset(&client.recv_masters);
  MasterRingTake(&client.recv_masters, k.recv_master);
  GuardArmKeyAreaCountdown();
  FIREWALL_EnableTcpVpnCloseOnDisconnect(0);
}

void UpdatePacketKey(uint32_t send, uint32_t counter) {
  uint32_t index = GuardKeyIndex(counter);
  uint32_t &stored = send ? guard.send_index : guard.recv_index;
  if (stored == index) return;
  SessionKeys &k = client.keys;
  GuardPacketKey(send ? k.send_master : k.recv_master, k.packet_key_base, index, key_of(send));
  stored = index;
}

uint32_t GuardUsesMgm(void) { return magma_enabled && (client.options & kOptMgm) ? 1 : 0; }

uint32_t GuardGatewayAddress(void) { return load_le32(client.init_record + init::kGateway); }

uint32_t GuardBuildSendPack(IPPacket *p, uint8_t *ip, GuardDataJob *job) {
  const FilterAdapter *adapter = p->ctx->adapter;
  if (!(client.session_flags & GUARD_KEYS_EXIST) || !adapter) return 0;
  if (ClientMagic() != zor::wire::kMagic) return 0;
  uint32_t ihl = p->ihl, payload = p->payload;
  if (p->limitflags & 2) {
    constexpr uint32_t wrap = UDPH_SIZE + GUARD_DATA_HEAD;
    uint32_t room = adapter->mtu - wrap - p->linklen - ihl;
    if (adapter->mtu > wrap + p->linklen + ihl && room < p->limit) p->limit = room;
  }
  if (ihl + UDPH_SIZE + GUARD_DATA_HEAD + payload > IP_MAX_TOTAL_LEN) return 0;
  uint8_t *udp = ip + ihl, *d = udp + UDPH_SIZE;
  auto *h = zor::wire::As<zor::wire::DataHead>(d);
  memcpy(ip, p->ip, ihl);
  memcpy(h->far_addr, p->ip + IPH_DST, 4);
  h->inner_id = load_be16(p->ip + IPH_ID);
  h->size_limit8 = (p->limitflags & 2) ? (uint8_t)((p->limit + 7) / 8) : 0;
  h->inner_proto = p->proto;
  copy_payload(p, d + GUARD_DATA_HEAD);

  if (client.send_counter == GUARD_COUNTER_RESTART) client.send_counter = 0;
  uint32_t counter = client.send_counter;
  UpdatePacketKey(1, counter);
  h->type = zor::wire::kData;
  h->key_gen = guard.send_gen;
  h->counter = counter;
  h->session_id = client.session_id;
  uint32_t len = GUARD_DATA_HEAD + payload;
  *job = {d, len, counter, key_of(1), 0};
  client.send_counter = counter + GuardCounterSpan(len);

  p->limitflags = 0;
  p->limit = 0;
  p->payload = UDPH_SIZE + len;
  return UDPH_SIZE + len;
}

uint32_t GuardSendKeyChanges(void) {
  uint32_t next = client.send_counter == GUARD_COUNTER_RESTART ? 0 : client.send_counter;
  return GuardKeyIndex(next) != guard.send_index ? 1 : 0;
}

uint32_t GuardTreatSendPack(IPPacket *p) {
  uint32_t ihl = p->ihl;
  GuardDataJob job;
  uint32_t udplen = GuardBuildSendPack(p, p->ctx->work, &job);
  if (!udplen) return 0;
  GuardSealData(job.d, job.len, job.key, job.counter, client.gw_nonce, GuardUsesMgm());
  GuardFillOuterHeaders(p->ctx->work, ihl, udplen);
  return udplen;
}

int32_t GuardTreatRecvPack(IPPacket *p) {
  uint8_t *udp = p->ip + p->ihl;
  uint32_t udplen = load_be16(udp + UDPH_LEN);
  if (udplen < GUARD_MIN_UDP || udplen > p->payload) return GUARD_ERR_SHORT_UDP;
  uint8_t *d = udp + UDPH_SIZE;
  uint32_t len = udplen - UDPH_SIZE;
  switch (zor::wire::PacketTypeOf(d)) {
    case zor::wire::kStatus: return GuardTreatStatus(d, len);
    case zor::wire::kKeyChange:
    case zor::wire::kAck: return treat_control_chain(p, d, len);
    case zor::wire::kOob: return GuardTreatOob(d, len);
    case zor::wire::kData: return treat_data(p, d, len);
    default: return GUARD_ERR_UNKNOWN_TYPE;
  }
}

void GuardInitRandom(const uint8_t *seed) { InitRandomEx(seed, 0); }

uint32_t _MemCmp(const void *a, const void *b, uint32_t n) {
  const uint8_t *x = static_cast<const uint8_t *>(a), *y = static_cast<const uint8_t *>(b);
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t u, v;
    memcpy(&u, x + i, 4);
    memcpy(&v, y + i, 4);
    if (u != v) return 1;
  }
  for (; i < n; i++)
    if (x[i] != y[i]) return 1;
  return 0;
}

}  // extern "C"
