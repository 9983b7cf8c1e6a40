#include "kernel/filter/syn_replies.h"

#include "byte_order.h"
#include "crypto/crc32.h"
#include "crypto/magma_mgm.h"
#include "crypto/random.h"
#include "crypto/wipe.h"
#include "drv_payloads.h"
#include "kern_host.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/wire_format.h"

namespace zor::tunnel {
namespace {

using namespace zor::wire;

constexpr uint32_t kRrFixed = kSynRrHead + kTrailer;    // a SYN RR is TLV length + 36
constexpr uint32_t kPkiHead = sizeof(DrvSynRrReply);
constexpr uint32_t kDefaultTimeout = 5;

// Gathers the fragments of one SYN RR (one bundle number at a time). The
// image is whole when every byte of the claimed total has been covered by
// some fragment; repeated or overlapping fragments add nothing to the count.
struct Bundle {
  uint8_t number;
  uint16_t tlv_len;
  uint32_t count;                    // distinct image bytes covered so far
  uint8_t covered[kImageSize / 8];   // one bit per image byte
  uint8_t image[kImageSize];
};

Bundle *&Current() { return reinterpret_cast<Bundle *&>(client.bundles); }

Bundle *BundleFor(uint8_t number, uint16_t tlv_len) {
  Bundle *b = Current();
  if (b && b->number == number) return b;
  FreeBundles();
  b = (Bundle *)KERN_kmalloc(sizeof(Bundle));
  if (!b) return nullptr;
  b->number = number;
  b->tlv_len = tlv_len;
  b->count = 0;
  memset(b->covered, 0, sizeof b->covered);
  Current() = b;
  return b;
}

// Marks image bytes [from, to) as covered; how many were new.
uint32_t Cover(Bundle &b, uint32_t from, uint32_t to) {
  uint32_t added = 0;
  for (uint32_t i = from; i < to; ++i) {
    uint8_t bit = (uint8_t)(1u << (i & 7));
    if (b.covered[i >> 3] & bit) continue;
    b.covered[i >> 3] |= bit;
    ++added;
  }
  return added;
}

void ClearKeyAreas() {
  memset(KeyArea(0), 0, 128);
  client.okf_block_count = 0;
}

// Copies a TLV value (clear entries only) to the start of buf.
int32_t ReturnValue(uint8_t *buf, uint32_t len, uint32_t cap, uint32_t *out, uint8_t tag,
                    int32_t code) {
  Tlv t;
  uint32_t tlv_len = TlvLengthOf(buf);
  if (TLVFindClear(tag, buf + kStatusHead, tlv_len, &t) && t.length && t.length <= cap &&
      t.value + t.length <= buf + len) {
    memmove(buf, t.value, t.length);
    *out = t.length;
  }
  return code;
}

int32_t TreatStatus(uint8_t *buf, uint32_t len, uint32_t cap, uint32_t *out) {
  if (len < kStatusHead + kTrailer || !CrcOk(buf, len)) return HS_BAD_CHECK;
  if (client.state != kTransportReady && client.state != kSynOkBuilt) return HS_NOT_EXPECTED;
  if (ClientMagic() != kMagic) return HS_WRONG_MAGIC;
  uint32_t tlv_len = TlvLengthOf(buf);
  if (len != tlv_len + kStatusHead + kTrailer) return HS_BAD_CHECK;
  client.synrr_len = 0;
  if (VariantOf(buf) != client.variant) return HS_WRONG_VARIANT;

  uint32_t code = As<StatusHead>(buf)->code;
  if (code >= GW_STATUS_COUNT) return HS_STATUS_UNKNOWN;
  int32_t mapped = (int32_t)code + HS_STATUS_OFFSET;
  if (code == GW_STATUS_IDLE) client.state = kIdle;
  switch (code) {
    case GW_STATUS_CLEAR_KEYS:
      ClearKeyAreas();
      if (tlv_len == 0) {
        if (cap < 1) return HS_NO_ROOM;
        buf[0] = 0;
        *out += 1;
        return mapped;
      }
      return ReturnValue(buf, len, cap, out, kTagJ, mapped);
    case GW_STATUS_TEXT:
      return tlv_len == 0 ? mapped : ReturnValue(buf, len, cap, out, kTagH, mapped);
    case GW_STATUS_CLEAR_NOTICE:
      if (tlv_len) {
        memset(client.okf_block, 0, sizeof client.okf_block);   // the 17-byte notice area
        client.access_level = 0;
      }
      return mapped;
    case GW_STATUS_RENEW:
      return tlv_len && client.renewal ? HS_KEYS_WANTED : mapped;
    default:
      return mapped;
  }
}

// Adds one fragment; 0 while waiting, 1 complete, negative refused. A
// fragment at offset 0 carries image bytes [0, len); any other carries the
// 12-byte head again and then image bytes [off + 12, off + len).
int32_t Gather(const uint8_t *d, uint32_t len) {
  uint16_t tlv_len = TlvLengthOf(d);
  const SynRrHead *h = As<SynRrHead>(d);
  uint16_t off = h->frag_offset;
  uint32_t total = tlv_len + kRrFixed;
  if (total > kImageSize || (uint32_t)off + len > total || (off == 0 && len < kSynRrHead)) {
    client.synrr_len = 0;
    return HS_BAD_FRAGMENT;
  }
  Bundle *b = BundleFor(h->bundle, tlv_len);
  if (!b) return HS_BAD_FRAGMENT;
  if (b->tlv_len != tlv_len) return HS_BAD_FRAGMENT;
  uint32_t from = off == 0 ? 0 : kFragmentHead + off;
  uint32_t end = (uint32_t)off + len;
  if (from >= end) return 0;
  uint32_t added = Cover(*b, from, end);
  if (added == 0) return 0;
  memcpy(b->image + from, d + (off == 0 ? 0 : kFragmentHead), end - from);
  b->count += added;
  if (b->count < total) return 0;
  memcpy(client.synrr, b->image, total);
  client.synrr_len = total;
  FreeBundles();
  return 1;
}

int32_t SelectProtection() {
  uint8_t opts = client.options;
  uint32_t mode = client.gw_options & kGwModeMask;
  if (mode == kGwModeCipherOnly) {
    if (!(opts & kOptCipherAllowed)) return HS_WRONG_MAGIC;
  } else if (mode != kGwModeEither) {
    if (!(mode & kGwMgmOffered) && !(opts & kOptClearAllowed)) return HS_WRONG_MAGIC;
    opts |= kOptClearInUse;
  } else if (!(opts & kOptCipherAllowed)) {
    opts |= kOptClearInUse;
  }
  if (magma_support_fast_MGM() == 1 && !(opts & kOptClearInUse) &&
      (client.gw_options & kGwMgmOffered))
    opts |= kOptMgm;
  client.options = opts;
  return 0;
}

// Key agreement with the gateway's ephemeral key (authentication variant 131).
int32_t KeyAgreement(uint8_t *area, uint32_t tlv_len, const Tlv &a, uint8_t *buf, uint32_t cap,
                     uint32_t *extra_len) {
  if (a.length < sizeof client.peer_pubkey) return HS_NO_GATEWAY_BLOCK;
  if (CreatePKIMasterKey(a.value, sizeof client.peer_pubkey) != 0) return HS_NO_GATEWAY_BLOCK;
  TlvKey key;
  DeriveTlvKey(client.master_key, "SynRRAddData", As<SynRrHead>(client.synrr)->gw_nonce, &key);
  Tlv t;
  DrvSynRrReply *head = As<DrvSynRrReply>(buf);
  uint32_t used = kPkiHead + head->b_len + head->a_len;
  if (TLVGetField(kTagRrExtra, area, tlv_len, &key, false, &t)) {
    if (t.length > cap - used) return HS_NO_ROOM;
    memcpy(buf + used, t.value, t.length);
    *extra_len = t.length;
  }
  if (TLVGetField(kTagRrWord, area, tlv_len, &key, false, &t)) {
    if (t.length > sizeof head->rr_word) return HS_BAD_FRAGMENT;
    memcpy(head->rr_word, t.value, t.length);
  }
  zor::crypto::wipe(&key, sizeof key);
  return 0;
}

int32_t CheckKeyAreas(uint8_t *buf, uint32_t cap, uint32_t *out) {
  uint32_t o = client.gw_options;
  if ((o & kGwRenewKeyAreas) && client.okf_block_count == 0) {
    KeyArea(0)[0] = 0;
    KeyArea(1)[0] = 0;
    client.renewal = true;
    return 0;
  }
  if ((o & kGwWantsKeyAreas) && !((o & kGwRenewKeyAreas) && client.okf_block_count) &&
      AuthVariant() != kAuthKeyAgreement && (KeyArea(0)[0] == 0 || KeyArea(1)[0] == 0)) {
    if (cap < sizeof o) return HS_NO_ROOM;
    store_le32(buf, o);
    *out = sizeof o;
    return (o & kGwKeyAreasStrict) ? HS_KEYS_WANTED_STRICT : HS_KEYS_WANTED;
  }
  return 0;
}

// A late copy of a fragment of the SYN RR already taken (same first ten
// bytes); the network may duplicate datagrams, the handshake goes on.
bool LateCopy(const uint8_t *d, uint32_t len) {
  return client.state > kTransportReady && client.state < kConnected && client.synrr_len &&
         len >= kFragmentHead && SameBytes(d, client.synrr, offsetof(SynRrHead, frag_offset));
}

int32_t TreatSynRr(uint8_t *buf, uint32_t len, uint32_t cap, uint32_t *out) {
  if (LateCopy(buf, len)) return 0;
  if (client.state != kTransportReady) return HS_NOT_EXPECTED;
  if (ClientMagic() != kMagic) return HS_WRONG_MAGIC;
  if (len < kFragmentHead) {
    client.synrr_len = 0;
    return HS_BAD_FRAGMENT;
  }
  int32_t g = Gather(buf, len);
  if (g <= 0) return g;
  uint8_t *img = client.synrr;
  uint32_t total = client.synrr_len;
  if (!CrcOk(img, total)) return HS_BAD_CHECK;
  if (!KnownVariant(VariantOf(img))) return HS_WRONG_VARIANT;
  client.variant = VariantOf(img);
  client.gw_options = As<SynRrHead>(img)->options;

  int32_t r = CheckKeyAreas(buf, cap, out);
  if (r) return r;
  uint8_t *area = img + kSynRrHead;
  uint32_t tlv_len = TlvLengthOf(img);
  Tlv t, b, a;
  client.stage_timeout = TLVFindClear(kTagTimeout, area, tlv_len, &t) &&
                                 t.length == sizeof client.stage_timeout
                             ? load_le32(t.value) : kDefaultTimeout;
  if (!TLVFindClear(kTagB, area, tlv_len, &b)) {
    client.stage_timeout = kDefaultTimeout;
    return HS_NO_GATEWAY_BLOCK;
  }
  bool has_a = TLVFindClear(kTagA, area, tlv_len, &a);
  bool agreement = AuthVariant() == kAuthKeyAgreement;
  if (!has_a && agreement) return HS_NO_GATEWAY_BLOCK;
  uint32_t alen = has_a ? a.length : 0;
  if (kPkiHead + b.length + alen > cap) return HS_NO_ROOM;
  DrvSynRrReply *head = As<DrvSynRrReply>(buf);
  memset(head, 0, sizeof *head);
  memcpy(buf + kPkiHead, b.value, b.length);
  head->b_len = b.length;
  if (has_a) memcpy(buf + kPkiHead + b.length, a.value, alen);
  head->a_len = alen;
  uint32_t extra = 0;
  if (agreement && (r = KeyAgreement(area, tlv_len, a, buf, cap, &extra)) != 0) return r;
  head->extra_len = extra;

  memcpy(client.gw_nonce, As<SynRrHead>(img)->gw_nonce, 16);
  if (client.variant == kVariant16 && GetRandomEx(client.client_nonce, 16, 0) != 0)
    return HS_NO_RANDOM;
  if ((r = SelectProtection()) != 0) return r;
  *out = kPkiHead + b.length + alen + extra;
  client.state = kSynRrTreated;
  return 0;
}

// TLV 20: the gateway's dynamic configuration with its own imitation.
int32_t TakeDynCfg(uint8_t *area, uint32_t tlv_len, const TlvKey &key,
                   const uint8_t imit_key[32]) {
  Tlv t;
  if (!TLVGetField(kTagDynCfg, area, tlv_len, &key, false, &t)) return HS_NO_CONFIGURATION;
  constexpr uint32_t kMinImage = offsetof(addr::DynCfgHead, word);   // imitation, format, length
  if (t.length < kMinImage || t.length > addr::kDynCfgSize) return HS_NO_CONFIGURATION;
  auto *h = reinterpret_cast<addr::DynCfgHead *>(t.value);
  uint32_t mac = h->imitation;
  h->imitation = 0;
  if (Imitation(imit_key, t.value, t.length) != mac) return HS_BAD_IMITATION;
  if (h->length != t.length) return HS_NO_CONFIGURATION;
  if (h->format != addr::kDynCfgTyped) return HS_OKF_REFUSED;
  memcpy(client.DynCfg, t.value, t.length);
  return 0;
}

// A suffix list as request 41 hands it on: names of letters, digits, '-',
// '_' and '.', separated by ';' (blanks allowed around them).
bool IsSuffixText(const uint8_t *v, uint32_t len) {
  for (uint32_t i = 0; i < len; ++i) {
    uint8_t c = v[i];
    bool name = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_' || c == '.';
    if (!name && c != ';' && c != ' ') return false;
  }
  return true;
}

// TLV 0x44: the stored suffix block (u16 length, text) becomes the
// gateway's list, or none.
void TakeDnsSuffixes(uint8_t *area, uint32_t tlv_len, const TlvKey &key) {
  constexpr uint32_t kMost = sizeof client.dns_suffix - sizeof(uint16_t);
  Tlv t;
  bool ok = TLVGetField(kTagDnsSuffixes, area, tlv_len, &key, false, &t) && t.length &&
            t.length <= kMost && IsSuffixText(t.value, t.length);
  store_le16(client.dns_suffix, ok ? t.length : 0);
  if (ok) memcpy(client.dns_suffix + sizeof(uint16_t), t.value, t.length);
}

// TLVs 24, 28, 77 and the DNS suffixes; -4 when the text cannot be kept.
int32_t TakeExtras(uint8_t *area, uint32_t tlv_len, const TlvKey &key) {
  Tlv t;
  if (TLVGetField(kTagOkfBlock, area, tlv_len, &key, false, &t) &&
      t.length == sizeof client.okf_block) {
    memcpy(client.okf_block, t.value, sizeof client.okf_block);
    client.okf_block_count++;
  }
  if (TLVGetField(kTagTimeout, area, tlv_len, &key, false, &t) &&
      t.length == sizeof client.stage_timeout)
    client.stage_timeout = load_le32(t.value);
  if (TLVGetField(kTagText, area, tlv_len, &key, false, &t) && t.length) {
    char *text = (char *)KERN_kmalloc(t.length + 1u);
    if (!text) return HS_NO_MEMORY;
    memcpy(text, t.value, t.length);
    text[t.length] = 0;
    if (client.text) KERN_kfree(client.text);
    client.text = text;
  }
  TakeDnsSuffixes(area, tlv_len, key);
  return 0;
}

int32_t CheckOkfTrailer(const uint8_t *d, uint32_t len, uint32_t head,
                        const uint8_t imit_key[32]) {
  uint32_t tlv_len = TlvLengthOf(d);
  if (len != head + tlv_len + kTrailer) return HS_BAD_CHECK;
  uint32_t trailer = load_le32(d + len - kTrailer);
  uint32_t want = client.variant == kVariant17 ? Imitation(imit_key, d, len - kTrailer)
                                               : ~FCS32(d, len - kTrailer);
  return trailer == want ? HS_ACCEPTED : HS_BAD_IMITATION;
}

int32_t TreatSynOkf(uint8_t *buf, uint32_t len, uint32_t cap, uint32_t *out) {
  if (client.state != kSynOkBuilt) return HS_NOT_EXPECTED;
  if (ClientMagic() != kMagic) return HS_OKF_REFUSED;
  if (len < sizeof(Header) || len > kImageSize) return HS_BAD_CHECK;
  if (VariantOf(buf) != client.variant) return HS_WRONG_VARIANT;
  uint32_t head = client.variant == kVariant17 ? kSynOkfHead17 : kSynOkfHead16;
  uint8_t imit_key[32];
  DeriveImitKey(client.master_key, "SynOKFImit", client.gw_nonce, imit_key);
  int32_t r = CheckOkfTrailer(buf, len, head, imit_key);
  if (r == 0 && cap < sizeof(DrvSynOkfReply)) r = HS_NO_ROOM;
  if (r) {
    zor::crypto::wipe(imit_key, sizeof imit_key);
    return r;
  }
  uint8_t *img = client.synokf;
  memcpy(img, buf, len);
  TlvKey key;
  DeriveTlvKey(client.master_key, "SynOKFAddData", client.gw_nonce, &key);
  uint32_t tlv_len = TlvLengthOf(img);
  uint8_t saved[addr::kDynCfgSize];
  memcpy(saved, client.DynCfg, sizeof saved);
  memset(client.DynCfg, 0, sizeof client.DynCfg);
  r = TakeDynCfg(img + head, tlv_len, key, imit_key);
  if (r == 0) r = TakeExtras(img + head, tlv_len, key);
  zor::crypto::wipe(imit_key, sizeof imit_key);
  zor::crypto::wipe(&key, sizeof key);
  if (r) {
    memcpy(client.DynCfg, saved, sizeof saved);
    client.synokf_len = 0;
    return r;
  }
  client.synokf_len = len;

  SessionKeys &k = client.keys;
  DeriveSessionKeys(client.master_key, k.recv_master, k.send_control_key);
  memcpy(k.recv_control_key, k.recv_master, 32);
  memcpy(k.packet_key_base, k.send_control_key, 32);
  if (client.variant == kVariant16) {
    const SynOkfHead16 *h = As<SynOkfHead16>(img);
    memcpy(k.send_master, h->send_master, 32);
    k.send_master_from_peer = 1;
    client.session_id = h->session_id;
    client.session_value2 = h->session_value2;
  } else {
    SendMasterFixed(k.send_master);
    k.send_master_from_peer = 0;
    client.session_id = As<SynOkfHead17>(img)->session_id;
    client.session_value2 = 0;
  }
  DrvSynOkfReply *reply = As<DrvSynOkfReply>(buf);
  memcpy(reply->keys.vesk, k.recv_master, sizeof reply->keys.vesk);
  memcpy(reply->keys.client, k.send_control_key, sizeof reply->keys.client);
  reply->session_id = client.session_id;
  *out = sizeof *reply;
  if (client.gw_options & kGwWantsKeyAreas)
    memset(KeyArea(0), 0, init::kKeyAreas * init::kKeyAreaSize);
  ClientForgetKeyPair();   // no further agreement
  client.state = kSynOkfTreated;
  return 0;
}

}  // namespace

uint8_t AuthVariant() {
  const auto *aux = reinterpret_cast<const DrvAuxInfo *>(client.aux_info);
  return client.auth_type_ext ? client.auth_type_ext : aux->variant;
}

void FreeBundles() {
  if (client.bundles) {
    KERN_kfree(client.bundles);
    client.bundles = nullptr;
  }
}

int32_t ClientTreatSynPacket(uint8_t *buf, uint32_t len, uint32_t cap, uint32_t *out,
                             uint32_t probe) {
  *out = 0;
  if (!buf || len < sizeof(Header)) return HS_BAD_FRAGMENT;
  uint8_t type = PacketTypeOf(buf);
  if (load_le32(buf) != ClientMagic())
    return (type == kSynRr || type == kStatus || type == kSynOkf) ? HS_WRONG_MAGIC
                                                                   : HS_NOT_EXPECTED;
  if (probe) return 0;
  switch (type) {
    case kStatus: return TreatStatus(buf, len, cap, out);
    case kSynOkf: return TreatSynOkf(buf, len, cap, out);
    case kSynRr: return TreatSynRr(buf, len, cap, out);
    case kKeyChange:
    case kAck:
      return len >= sizeof(wire::ControlHead) &&
                     wire::SameBytes(As<wire::ControlHead>(buf)->nonce, client.gw_nonce, 16)
                 ? HS_NOT_EXPECTED
                 : HS_ACCEPTED;
    default:
      return HS_NOT_EXPECTED;
  }
}

}  // namespace zor::tunnel
