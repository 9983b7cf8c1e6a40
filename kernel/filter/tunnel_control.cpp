#include "kernel/filter/tunnel_control.h"

#include "byte_order.h"
#include "crypto/random.h"
#include "crypto/wipe.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/frame_context.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_crypto.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

using namespace zor::tunnel;

extern "C" {
uint8_t CLI_MASK_OPEN_DATA_rnd[32];
uint32_t CLI_MASK_OPEN_DATA_rndinited;
}

namespace {

// Why an acknowledgement is refused (kept as the last error; its negation
// is returned).
enum AckError : uint32_t {
  kAckOk = 0, kAckShort = 1, kAckSession = 2, kAckImitation = 3, kAckNonce = 4,
  kAckFlagUnexpected = 5, kAckFlagMissing = 6, kAckOtherGeneration = 7, kAckMagic = 8,
};

using zor::wire::As;
using zor::wire::ControlHead;
using zor::wire::KeyChange;
using zor::wire::KeyChangeAck;
using zor::wire::OobHead;

constexpr uint32_t kOobHead = sizeof(OobHead) + sizeof(zor::wire::OobTrailer);
constexpr uint32_t kHeadroom = ETH_HEADER_LEN + IPH_MIN_LEN + UDPH_SIZE;
constexpr uint8_t kProtocolFlag = 0x10;   // bit 4 of the acknowledgement's type byte
constexpr int32_t kErrOob = -3097;
constexpr int32_t kErrKcShort = -3125, kErrKcSession = -3130, kErrKcImit = -3139,
                  kErrKcNonce = -3144;
constexpr uint32_t kMaxOob = 65509;

enum PrepFailure : uint32_t { kNoAdapter = 1, kNoMemory = 2, kBuildFailed = 3 };

bool protocol_flag(void) { return (client.options & kOptCipherAllowed) != 0; }

FilterAdapter *ready(FilterAdapter *a) {
  return a && FilterAdapterListed(a) && a->filterstate == ADAPTER_READY ? a : nullptr;
}

// A frame with room for an Ethernet, IPv4 and UDP header before body bytes.
FilterFrame *new_frame(FilterAdapter *adapter, uint32_t bodylen) {
  uint32_t len = kHeadroom + bodylen;
  auto *f = static_cast<FilterFrame *>(MVAlloc((uint32_t)sizeof(FilterFrame) + len));
  if (!f) return nullptr;
  memset(f, 0, sizeof(FilterFrame) + len);
  f->adapter = adapter;
  f->direction = 1;
  f->length = (uint16_t)len;
  return f;
}

uint32_t queue(FilterFrame *f) {
  if (DrvSetFrameToSend(f) == 0) return 0;
  MVFree(f);
  return kBuildFailed;
}

// A datagram for the gateway on the tunnel adapter; body bytes are copied.
uint32_t send_to_gateway(const uint8_t *body, uint32_t bodylen) {
  FilterAdapter *a = ready(FilterGetVpnAdapter());
  if (!a) return kNoAdapter;
  FilterFrame *f = new_frame(a, bodylen);
  if (!f) return kNoMemory;
  memcpy(f->data, guard.gwmac, ETH_ADDR_LEN);
  memcpy(f->data + ETHH_SRC, a->hardaddr, ETH_ADDR_LEN);
  store_be16(f->data + ETHH_TYPE, ETH_TYPE_IPV4);
  uint8_t *ip = f->data + ETH_HEADER_LEN;
  ip[IPH_VHL] = IP_VHL_V4_MIN;
  memcpy(ip + IPH_SRC, guard.ownip, 4);
  memcpy(ip + IPH_MIN_LEN + UDPH_SIZE, body, bodylen);
  GuardFillOuterHeaders(ip, IPH_MIN_LEN, UDPH_SIZE + bodylen);
  return queue(f);
}

void put_control_head(ControlHead *h, uint8_t type, const uint8_t nonce[16]) {
  h->magic = zor::wire::kMagic;
  h->type = type;
  h->variant = client.variant;
  h->zero = 0;
  h->session_id = client.session_id;
  memcpy(h->nonce, nonce, 16);
}

// Ends the session on the gateway's word: keys gone, state 0.
void reset_session(void) {
  client.stage_timeout = 5;
  if (client.state == kConnected) client.dos_session_change = DrvGetCurFtime(nullptr);
  FIREWALL_EnableTcpVpnCloseOnDisconnect(1);
  client.session_flags = 0;
  client.send_counter = 0;
  guard.send_index = guard.recv_index = 0;
  client.kc_attempts = client.kc_retry_tick = client.kc_not_ready = client.kc_last_failure = 0;
  ClientForgetSessionKeys();
  client.state = kIdle;
}

void disconnect(uint32_t event) {
  FIREWALL_EnableTcpVpnCloseOnDisconnect(1);
  ClientDisconnect(0);
  DrvSendEvent(event);
}

uint32_t send_key_change(void) {
  SessionKeys &k = client.keys;
  if (!(client.session_flags & GUARD_NEW_MASTER)) {
    if (k.send_master_from_peer)
      memcpy(k.send_master, k.next_send_master, 32);
    else
      GetRandomEx(k.send_master, 32, 0);
    k.send_master_from_peer = 0;
    guard.send_gen++;
    guard.send_index = 0;
    client.send_counter = GUARD_COUNTER_RESTART;
    client.session_flags |= GUARD_NEW_MASTER;
  }
  GetRandomEx(CLI_MASK_OPEN_DATA_rnd, sizeof CLI_MASK_OPEN_DATA_rnd, 0);
  CLI_MASK_OPEN_DATA_rndinited = 1;
  uint8_t d[GUARD_KEYCHANGE_LEN];
  KeyChange *kc = As<KeyChange>(d);
  put_control_head(&kc->h, zor::wire::kKeyChange, client.gw_nonce);
  kc->key_gen = guard.send_gen;
  memcpy(kc->new_master, k.send_master, 32);
  GuardSealControl(d, sizeof d, k.send_control_key);
  uint32_t r = send_to_gateway(d, sizeof d);
  memset(d, 0, sizeof d);
  return r;
}

void start_key_change(void) {
  client.session_flags |= GUARD_KEYCHANGE;
  client.kc_attempts = GUARD_KEYCHANGE_ATTEMPTS;
  client.kc_retry_tick = curtick;
}

void key_change_tick(void) {
  if (client.kc_attempts == 0) {
    disconnect(client.last_error ? DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED
                                 : DrvSendEvent_RECONNECT_NOKEYCHANGE);
    return;
  }
  if (client.kc_not_ready > GUARD_KEYCHANGE_MAX_NOT_READY) {
    uint32_t f = client.kc_last_failure;
    disconnect(f == kNoMemory     ? DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM
               : f == kNoAdapter ? DrvSendEvent_RECONNECT_KEYCHANGE_NOADAPTER
                                 : DrvSendEvent_RECONNECT_KEYCHANGE_BUILDFAIL);
    return;
  }
  uint32_t failure = send_key_change();
  if (failure) {
    client.kc_not_ready++;
    client.kc_last_failure = failure;
    client.kc_retry_tick = curtick + 1;
    return;
  }
  client.kc_attempts--;
  client.kc_retry_tick = curtick + GUARD_KEYCHANGE_RETRY_TICKS;
}

void keepalive_tick(void) {
  if (!(client.session_flags & GUARD_KEEPALIVE_WAIT)) {
    guard.keepalive_retries = GUARD_KEEPALIVE_RETRIES;
    client.session_flags |= GUARD_KEEPALIVE_WAIT;
  } else if (--guard.keepalive_retries == 0) {
    disconnect(DrvSendEvent_RECONNECT_NOKEEPALIVE);
    return;
  }
  const bool block = client.okf_block_count != 0;
  GuardSendOOBData(OOB_KEEPALIVE, block ? client.okf_block : nullptr, block ? 16 : 0);
  guard.next_keepalive = curtick + GUARD_KEEPALIVE_TICKS;
}

bool status_checks(const uint8_t *d, uint32_t len) {
  const auto *h = As<zor::wire::StatusHead>(d);
  constexpr uint32_t fixed = zor::wire::kStatusHead + zor::wire::kTrailer;
  return len >= fixed && len == h->h.tlv_len + fixed && zor::wire::CrcOk(d, len) &&
         ClientMagic() == zor::wire::kMagic && h->h.magic == zor::wire::kMagic &&
         h->h.variant == client.variant;
}

// Key changes and keep-alives of a session that has its keys.
void session_tick(void) {
  bool running = client.session_flags & (GUARD_KEYCHANGE | GUARD_NEW_MASTER);
  if (!running && client.send_counter >= GUARD_REKEY_COUNTER &&
      client.send_counter != GUARD_COUNTER_RESTART) {
    start_key_change();
    running = true;
  }
  if (running) {
    if ((client.session_flags & GUARD_KEYCHANGE) && curtick >= client.kc_retry_tick)
      key_change_tick();
    return;
  }
  if (curtick >= guard.next_keepalive) keepalive_tick();
}

// A pending count-down of the key areas: one tick; at 0 both are cleared.
void key_area_countdown_tick(void) {
  if (client.keyarea_countdown == 0 || --client.keyarea_countdown) return;
  zor::crypto::wipe(KeyArea(0), init::kKeyAreas * init::kKeyAreaSize);
}

}  // namespace

extern "C" {

void GuardNoteAnswer(void) {
  if (!(client.session_flags & GUARD_KEEPALIVE_WAIT)) return;
  guard.keepalive_retries = GUARD_KEEPALIVE_RETRIES;
  client.session_flags &= (uint8_t)~GUARD_KEEPALIVE_WAIT;
  guard.next_keepalive = curtick + GUARD_KEEPALIVE_TICKS;
}

void GuardFillOuterHeaders(uint8_t *ip, uint32_t ihl, uint32_t udplen) {
  GuardFillOuterHeadersButSum(ip, ihl, udplen);
  CalcUdpTcpChkSum(ip);
}

void GuardFillOuterHeadersButSum(uint8_t *ip, uint32_t ihl, uint32_t udplen) {
  ip[IPH_TOS] = FLT_IPH_TOS;
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)(ihl + udplen));
  store_be16(ip + IPH_ID, clientnextpackid++);
  // The data path copied the inner header here: its DF bit stays (the
  // datagram has no field of its own for it); a fragment offset or MF
  // never goes out. The control frames start zeroed.
  store_be16(ip + IPH_FRAG, (uint16_t)(load_be16(ip + IPH_FRAG) & IP_DONT_FRAGMENT));
  ip[IPH_TTL] = FLT_IPH_DEFTTL;
  ip[IPH_PROTO] = IPPROTO_UDP_NUM;
  store_be32(ip + IPH_DST, GuardGatewayAddress());
  CalcChecksum(ip);
  uint8_t *udp = ip + ihl;
  store_be16(udp, client.sock_port);
  store_be16(udp + UDPH_DPORT, zor::wire::kGatewayPort);
  store_be16(udp + UDPH_LEN, (uint16_t)udplen);
}

int32_t GuardTreatKeyChange(IPPacket *p, uint8_t *d, uint32_t len) {
  if (ClientMagic() != zor::wire::kMagic) return 1;
  if (len < GUARD_KEYCHANGE_LEN) return kErrKcShort;
  KeyChange *kc = As<KeyChange>(d);
  if (kc->h.session_id != client.session_id) return kErrKcSession;
  if (!GuardOpenControl(d, GUARD_KEYCHANGE_LEN, client.keys.recv_control_key)) return kErrKcImit;
  if (_MemCmp(kc->h.nonce, client.client_nonce, 16)) return kErrKcNonce;
  uint8_t gen = kc->key_gen;
  if (gen == guard.recv_gen && (client.session_flags & GUARD_KEYS_EXIST)) {
    GuardSendKeyChAck(p);
  } else if (const uint32_t took = MasterRingTake(&client.recv_masters, kc->new_master);
             took != MASTER_TAKEN) {
    memset(kc->new_master, 0, 32);
    // A master this session took already: the key change is a replay. One
    // that cannot be kept ends the session rather than be forgotten.
    if (took == MASTER_KNOWN) return GUARD_ERR_REPLAY;
    disconnect(DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM);
    return 1;
  } else {
    SessionKeys &k = client.keys;
    guard.recv_index = 0;
    ReplayWindowReset(&guard.replay);
    client.session_flags |= GUARD_KEYS_EXIST;
    guard.recv_gen = gen;
    memcpy(k.recv_master, kc->new_master, 32);
    memcpy(k.next_send_master, kc->new_master, 32);
    k.send_master_from_peer = 1;
    GuardSendKeyChAck(p);
    start_key_change();
  }
  memset(kc->new_master, 0, 32);
  guard.recv_deadline = curtick + GUARD_ACTIVITY_TICKS;
  return 0;
}

int32_t GuardTreatAck(uint8_t *d, uint32_t len) {
  const KeyChangeAck *ack = As<KeyChangeAck>(d);
  uint32_t err = kAckOk;
  if (ClientMagic() != zor::wire::kMagic)
    err = kAckMagic;
  else if (len < GUARD_ACK_LEN)
    err = kAckShort;
  else if (ack->h.session_id != client.session_id)
    err = kAckSession;
  else if (!GuardOpenControl(d, GUARD_ACK_LEN, client.keys.recv_control_key))
    err = kAckImitation;
  else if (_MemCmp(ack->h.nonce, client.client_nonce, sizeof ack->h.nonce))
    err = kAckNonce;
  else if ((ack->h.type & kProtocolFlag) && !protocol_flag())
    err = kAckFlagUnexpected;
  else if (!(ack->h.type & kProtocolFlag) && protocol_flag())
    err = kAckFlagMissing;
  else if (ack->acked_gen != guard.send_gen)
    err = kAckOtherGeneration;
  // The key change of the send generation runs from its new master until
  // its acknowledgement: one taken at any other time is a copy of an
  // earlier one, no sign of life.
  if (!err && !(client.session_flags & GUARD_NEW_MASTER)) return GUARD_ERR_REPLAY;
  client.last_error = err;
  // An acknowledgement of another generation is ignored, not an error.
  if (err) return err == kAckOtherGeneration ? 0 : -(int32_t)err;
  client.session_flags &= (uint8_t)~(GUARD_KEYCHANGE | GUARD_NEW_MASTER | GUARD_KEEPALIVE_WAIT);
  client.kc_attempts = 0;
  guard.next_keepalive = curtick + GUARD_KEEPALIVE_TICKS;
  return 0;
}

int32_t GuardTreatOob(uint8_t *d, uint32_t len) {
  if (!(client.session_flags & GUARD_KEYS_EXIST)) return GUARD_ERR_NO_KEYS;
  if (len < kOobHead) return kErrOob;
  const OobHead *h = As<OobHead>(d);
  uint32_t n = h->length;
  if (kOobHead + n > len) return kErrOob;
  uint32_t counter = h->counter;
  UpdatePacketKey(0, counter);
  if (!GuardOpenOob(d, n, client.keys.recv_packet_key, counter, client.client_nonce,
                    GuardUsesMgm()))
    return kErrOob;
  if (!ReplayWindowTake(&guard.replay, counter)) return GUARD_ERR_REPLAY;
  GuardNoteAnswer();
  // The gateway spoke: as after an acknowledgement, no keep-alive is due
  // for a full period.
  guard.next_keepalive = curtick + GUARD_KEEPALIVE_TICKS;
  guard.recv_deadline = curtick + GUARD_ACTIVITY_TICKS;
  if (h->code == OOB_ACCESS_LEVEL && n >= 1) {
    client.access_level = d[sizeof(OobHead)];
    GuardSendAccLvlUpdAck();
    DrvSendEvent(DrvSendEvent_GOT_ACCESS_LEVEL);
  }
  return 1;
}

int32_t GuardTreatStatus(uint8_t *d, uint32_t len) {
  // A status whose length, seal, magic or variant does not check could be
  // anyone's: it ends nothing.
  if (!status_checks(d, len)) return GUARD_ERR_AUTH;
  uint32_t code = As<zor::wire::StatusHead>(d)->code;
  if (code == STATUS_SESSION_TIMEOUT || code == STATUS_GATEWAY_TERMINATED) {
    if (client.state != kIdle) reset_session();
    DrvSendEvent(code == STATUS_SESSION_TIMEOUT ? DrvSendEvent_SESSION_TIMEOUT
                                                : DrvSendEvent_RADMTERMINATE);
  } else if (client.state == kConnected) {
    disconnect(DrvSendEvent_RECONNECT_ALWAYS);
  }
  return 1;
}

int32_t GuardSendOOBData(uint32_t code, const uint8_t *data, int32_t n) {
  if (client.session_flags & (GUARD_KEYCHANGE | GUARD_NEW_MASTER)) return 0;
  if (n < 0 || n > (int32_t)kMaxOob || (n && !data)) return OOB_SEND_REFUSED;
  if (client.state != kConnected || !(client.session_flags & GUARD_KEYS_EXIST))
    return OOB_SEND_REFUSED;
  uint32_t len = kOobHead + (uint32_t)n;
  auto *d = static_cast<uint8_t *>(MVAlloc(len));
  if (!d) return OOB_SEND_FAILED;
  if (client.send_counter == GUARD_COUNTER_RESTART) client.send_counter = 0;
  uint32_t counter = client.send_counter;
  UpdatePacketKey(1, counter);
  OobHead *h = As<OobHead>(d);
  h->magic = zor::wire::kMagic;
  h->type = zor::wire::kOob;
  h->variant = client.variant;
  h->length = (uint16_t)n;
  h->key_gen = guard.send_gen;
  h->counter = counter;
  h->session_id = client.session_id;
  h->code = (uint16_t)code;
  if (n) memcpy(d + sizeof(OobHead), data, (uint32_t)n);
  GuardSealOob(d, (uint32_t)n, client.keys.send_packet_key, counter, client.gw_nonce,
               GuardUsesMgm());
  client.send_counter = counter + GuardCounterSpan(len);
  uint32_t r = send_to_gateway(d, len);
  MVFree(d);
  return r ? OOB_SEND_FAILED : 0;
}

void GuardSendKeyChAck(IPPacket *p) {
  FilterAdapter *a = ready(p->ctx->adapter);
  if (!a) return;
  FilterFrame *f = new_frame(a, GUARD_ACK_LEN);
  if (!f) return;
  memcpy(f->data, p->frame + ETHH_SRC, ETH_ADDR_LEN);
  memcpy(f->data + ETHH_SRC, p->frame, ETH_ADDR_LEN);
  store_be16(f->data + ETHH_TYPE, ETH_TYPE_IPV4);
  uint8_t *ip = f->data + ETH_HEADER_LEN, *d = ip + IPH_MIN_LEN + UDPH_SIZE;
  ip[IPH_VHL] = IP_VHL_V4_MIN;
  memcpy(ip + IPH_SRC, p->ip + IPH_DST, 4);
  KeyChangeAck *ack = As<KeyChangeAck>(d);
  put_control_head(&ack->h, (uint8_t)(zor::wire::kAck | (protocol_flag() ? kProtocolFlag : 0)),
                   client.gw_nonce);
  ack->acked_gen = guard.recv_gen;
  GuardSealControl(d, GUARD_ACK_LEN, client.keys.send_control_key);
  GuardFillOuterHeaders(ip, IPH_MIN_LEN, UDPH_SIZE + GUARD_ACK_LEN);
  // The answer goes back where the key change came from.
  memcpy(ip + IPH_DST, p->ip + IPH_SRC, 4);
  CalcChecksum(ip);
  CalcUdpTcpChkSum(ip);
  queue(f);
}

void GuardSendAccLvlUpdAck(void) {
  if (client.state != kConnected) return;
  GuardSendOOBData(OOB_ACCESS_LEVEL_ACK, &client.access_level, 1);
}

void GuardTreatTimer(void) {
  if (client.state == kConnected && (client.session_flags & GUARD_KEYS_EXIST)) session_tick();
  key_area_countdown_tick();
}

void GuardArmKeyAreaCountdown(void) { client.keyarea_countdown = GUARD_KEYAREA_LIFE_TICKS; }

}  // extern "C"
