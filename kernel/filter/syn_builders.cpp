#include "kernel/filter/syn_builders.h"

#include "byte_order.h"
#include "crypto/gost89.h"
#include "crypto/gost89_imit.h"
#include "crypto/random.h"
#include "crypto/wipe.h"
#include "kern_host.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/syn_replies.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

namespace zor::tunnel {
namespace {

using namespace zor::wire;

constexpr uint32_t kMaxTlvArea = 0xFFFF;
// What the reply header carries after a builder (the service checks them).
constexpr uint8_t kBuiltFlag = 10;
constexpr uint32_t kBuiltValue = 2000;

// Header words the service reads after a builder: flag, gateway port, 2000.
void MarkBuilt(uint8_t *buffer, uint32_t len) {
  auto *h = reinterpret_cast<DrvRequestHeader *>(buffer);
  h->flag = kBuiltFlag;
  h->port = kGatewayPort;
  h->value = kBuiltValue;
  h->reserved = 0;   // request header length: one datagram
  h->length = len;
}

// Seals a datagram built in the kept copy and hands it to the reply.
int32_t Finish(uint8_t *buffer, uint32_t room, uint32_t len) {
  SealCrc(client.last_datagram, len);
  if (len > room) {
    client.last_datagram_len = 0;
    return HS_NO_ROOM;
  }
  client.last_datagram_len = len;
  memcpy(buffer + kReqHead, client.last_datagram, len);
  MarkBuilt(buffer, len);
  return (int32_t)(kReqHead + len);
}

// 'A' of a certificate profile: the session's public point, then the
// caller's material, as one value.
bool PutPointAndMaterial(uint8_t *area, uint32_t cap, uint32_t *used, const uint8_t *point,
                         const uint8_t *material, uint32_t n) {
  constexpr uint32_t kPoint = sizeof client.peer_pubkey;
  const uint32_t at = *used;
  if (n > kMaxTlvArea - kPoint || !TLVPut(area, cap, used, kTagA, point, kPoint, nullptr))
    return false;
  if (cap - *used < n) {
    *used = at;
    return false;
  }
  memcpy(area + *used, material, n);
  *used += n;
  As<TlvHead>(area + at)->length = (uint16_t)(kPoint + n);
  return true;
}

// The TLVs of the SYN RQ; the material is the request payload. Where the
// session's scalar comes from decides the layout:
//  - auxiliary flag bit 4 (a profile without a certificate): the payload
//    must be the ephemeral key record; the scalar stays in the record, 'A'
//    carries the record's 64-byte public key, then 'G' (auxiliary bytes
//    136..167), 'F' (auxiliary u32 at 168), 0x19.
//  - bit 4 clear (a certificate profile): the payload is the client
//    program's material, which holds no key of this session; the filter
//    draws the scalar itself (ClientMakeKeyPair) and 'A' carries the 64-byte
//    public point (X then Y) and after it the material as it stands, then
//    0x19. The gateway reads the client's key from the first 64 bytes of
//    'A', as it does with bit 4.
// The probe (request 7) carries the same TLVs without a scalar: it has no
// session, and the running session keeps its own. A probe payload that is
// no key record goes into 'A' as it stands, without a point.
bool PutSynRqTlvs(uint8_t *area, uint32_t cap, uint32_t *used, const uint8_t *material,
                  uint32_t n, bool probe) {
  const auto *aux = reinterpret_cast<const DrvAuxInfo *>(client.aux_info);
  uint8_t variant = AuthVariant();
  if (n > kMaxTlvArea) return false;
  if (aux->flags & DRV_AUX_EPHEMERAL) {
    const bool record = n == kEphemeralRecord;
    if (!record && !probe) return false;
    const auto *key = reinterpret_cast<const DrvEphemeralKey *>(material);
    if (record && !probe) memcpy(client.scalar, key->scalar, 32);   // never travels
    const uint8_t *a = record ? key->public_key : material;
    const uint16_t alen = (uint16_t)(record ? sizeof key->public_key : n);
    return TLVPut(area, cap, used, kTagA, a, alen, nullptr) &&
           TLVPut(area, cap, used, kTagG, aux->machine_id, sizeof aux->machine_id, nullptr) &&
           TLVPut(area, cap, used, kTagF, &aux->kind, sizeof aux->kind, nullptr) &&
           TLVPut(area, cap, used, kTagAuthVariant, &variant, 1, nullptr);
  }
  bool a_put;
  if (probe) {
    a_put = TLVPut(area, cap, used, kTagA, material, (uint16_t)n, nullptr);
  } else {
    uint8_t point[sizeof client.peer_pubkey];
    a_put = ClientMakeKeyPair(point) == 0 &&
            PutPointAndMaterial(area, cap, used, point, material, n);
  }
  return a_put && TLVPut(area, cap, used, kTagAuthVariant, &variant, 1, nullptr);
}

}  // namespace

int32_t ClientMakeSynRq(uint8_t *buffer, uint32_t n, uint32_t room, uint32_t probe) {
  if (ClientMagic() != kMagic) return HS_WRONG_MAGIC;
  if (!probe && client.state != kInitialised) return DRV_NOT_POSSIBLE;
  uint8_t *d = client.last_datagram;
  uint8_t variant = client.variant == kVariant16 ? kVariant16 : kVariant17;
  uint32_t head = variant == kVariant16 ? kSynRqHead16 : kSynRqHead17;
  memset(d, 0, head);
  As<SynRqHead16>(d)->syn_number = client.syn_number;   // the same place in both
  if (variant == kVariant17) {
    if (GetRandomEx(client.client_nonce, 16, 0) != 0) return DRV_NOT_POSSIBLE;
    memcpy(As<SynRqHead17>(d)->client_nonce, client.client_nonce, 16);
  }
  uint32_t used = 0;
  uint32_t cap = kImageSize - head - kTrailer;
  bool ok = PutSynRqTlvs(d + head, cap < kMaxTlvArea ? cap : kMaxTlvArea, &used,
                         buffer + kReqHead, n, probe != 0);
  zor::crypto::wipe(buffer + kReqHead, n);
  int32_t r = DRV_BAD_SIZE;
  if (ok) {
    PutHeader(d, kSynRq, variant, (uint16_t)used);
    r = Finish(buffer, room, head + used + kTrailer);
  } else {
    client.last_datagram_len = 0;
  }
  if (probe) return r;
  if (r <= 0) {
    ClientForgetKeyPair();   // its public half went nowhere
    return r;
  }
  client.renewal = false;
  client.dos_session_change = DrvGetCurFtime(nullptr);
  client.state = kSynRqBuilt;
  return r;
}

int32_t ClientMakeSynOk(uint8_t *buffer, uint32_t room) {
  if (ClientMagic() != kMagic) return HS_WRONG_MAGIC;
  if (client.state != kSynRrTreated) return DRV_NOT_POSSIBLE;
  uint8_t *d = client.last_datagram;
  memset(d, 0, kSynOkHead);
  SynOkHead *h = As<SynOkHead>(d);
  h->syn_number = client.syn_number;
  memcpy(h->client_nonce, client.client_nonce, 16);
  memcpy(h->gw_nonce, client.gw_nonce, 16);

  TlvKey key;
  DeriveTlvKey(client.master_key, "SynOKAddData", client.gw_nonce, &key);
  uint32_t used = 0;
  TLVPut(d + kSynOkHead, kTlvHead + kAuthBlockMax, &used, kTagA, client.auth_block, client.auth_len,
         &key);
  zor::crypto::wipe(&key, sizeof key);
  PutHeader(d, kSynOk, client.variant, (uint16_t)used);

  uint8_t imit_key[32];
  DeriveImitKey(client.master_key, "SynOKImit", client.gw_nonce, imit_key);
  uint32_t imit_at = kSynOkHead + used;
  store_le32(d + imit_at, Imitation(imit_key, d, imit_at));
  zor::crypto::wipe(imit_key, sizeof imit_key);
  int32_t r = Finish(buffer, room, imit_at + kImitationSize + kTrailer);
  if (r > 0) client.state = kSynOkBuilt;
  return r;
}

uint32_t ClientSetConnectKeys(const uint8_t *record, uint32_t n) {
  if (n < sizeof(DrvKeyRecord) || client.state != kSynOkfTreated) return 0;
  const auto *keys = reinterpret_cast<const DrvKeyRecord *>(record);
  const uint8_t zero_key[32] = {};
  const uint8_t *block = keys->key_block;
  const DrvKeyBlock *kb = reinterpret_cast<const DrvKeyBlock *>(block);
  const uint32_t zero_words[8] = {};
  uint32_t check = (client.options & kOptClearInUse)
                       ? ImPrefix(bukuz, zero_words, block, sizeof *kb)
                       : Imitation(zero_key, block, sizeof *kb);
  // The block must be the one the SYN OKF gave: the keys stay the filter's own.
  if (check != keys->check || !SameBytes(kb->vesk, client.keys.recv_master, sizeof kb->vesk) ||
      !SameBytes(kb->client, client.keys.send_control_key, sizeof kb->client))
    return 0;
  client.sock_addr = keys->sock_addr;
  client.sock_port = keys->sock_port;
  client.dos_connect = DrvGetCurFtime(nullptr);
  client.session_end_tick = 0xFFFFFFFFu;
  GuardStartSession();
  client.state = kConnected;   // once the guard and the counters are the new session's
  return 1;
}

uint8_t ClientNextSynNumber() {
  uint8_t n = ++client.syn_number;
  uint8_t *d = client.last_datagram;
  uint32_t len = client.last_datagram_len;
  if (len >= sizeof(SynRqHead16) && PacketTypeOf(d) == kSynRq) {
    As<SynRqHead16>(d)->syn_number = n;
    SealCrc(d, len);
  }
  return n;
}

}  // namespace zor::tunnel
