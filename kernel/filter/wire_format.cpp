#include "kernel/filter/wire_format.h"

#include "byte_order.h"
#include "crypto/crc32.h"
#include "crypto/kdf.h"
#include "crypto/magma.h"
#include "crypto/magma_modes.h"
#include "crypto/wipe.h"
#include "kern_host.h"

namespace zor::wire {
namespace {

void KeyWords(const uint8_t key[32], uint32_t words[8]) {
  for (int i = 0; i < 8; ++i) words[i] = load_le32(key + 4 * i);
}

// Entry at pos exists when its header ends strictly before the area's end and
// its value ends at or before it.
bool EntryAt(uint8_t *area, uint32_t area_len, uint32_t pos, Tlv *out) {
  if (pos + kTlvHead >= area_len) return false;
  uint8_t *e = area + pos;
  const TlvHead *h = As<TlvHead>(e);
  uint16_t len = h->length;
  if (pos + kTlvHead + len > area_len) return false;
  *out = Tlv{e, e + kTlvHead, len, (h->flags & kTlvEnciphered) != 0};
  return true;
}

bool Find(uint8_t tag, uint8_t *area, uint32_t area_len, Tlv *out) {
  if (!area) return false;
  Tlv t;
  for (uint32_t pos = 0; EntryAt(area, area_len, pos, &t); pos += kTlvHead + t.length) {
    if (As<TlvHead>(t.entry)->tag == tag) {
      *out = t;
      return true;
    }
  }
  return false;
}

}  // namespace

void PutHeader(uint8_t *d, uint8_t type, uint8_t variant, uint16_t tlv_len) {
  Header *h = As<Header>(d);
  h->magic = kMagic;
  h->type = type;
  h->variant = variant;
  h->tlv_len = tlv_len;
}

void SealCrc(uint8_t *d, uint32_t len) {
  store_le32(d + len - kTrailer, ~FCS32(d, len - kTrailer));
}

bool CrcOk(const uint8_t *d, uint32_t len) {
  return len >= kTrailer && FCS32(d, len) == kCrcResidue;
}

void TLVCipher(const TlvKey &key, uint8_t tag, uint8_t *value, uint32_t length) {
  uint32_t words[8];
  KeyWords(key.key, words);
  magma_ctr(key.nonce, (uint32_t)tag << 16, words, value, (int32_t)length);
  zor::crypto::wipe(words, sizeof words);
}

bool TLVGetField(uint8_t tag, uint8_t *area, uint32_t area_len, const TlvKey *key,
                 bool consume, Tlv *out) {
  Tlv t;
  if (!Find(tag, area, area_len, &t)) return false;
  if (t.enciphered) {
    if (!key) return false;
    TLVCipher(*key, tag, t.value, t.length);
    As<TlvHead>(t.entry)->flags &= (uint8_t)~kTlvEnciphered;
    t.enciphered = false;
  }
  if (consume) As<TlvHead>(t.entry)->tag = 0;
  *out = t;
  return true;
}

bool TLVFindClear(uint8_t tag, uint8_t *area, uint32_t area_len, Tlv *out) {
  Tlv t;
  if (!Find(tag, area, area_len, &t) || t.enciphered) return false;
  *out = t;
  return true;
}

bool TLVPut(uint8_t *area, uint32_t cap, uint32_t *used, uint8_t tag, const void *value,
            uint16_t length, const TlvKey *key) {
  if (*used > cap || cap - *used < kTlvHead + (uint32_t)length) return false;
  uint8_t *e = area + *used;
  TlvHead *h = As<TlvHead>(e);
  h->tag = tag;
  h->flags = key ? kTlvEnciphered : 0;
  h->length = length;
  if (length) memmove(e + kTlvHead, value, length);
  if (key) TLVCipher(*key, tag, e + kTlvHead, length);
  *used += kTlvHead + length;
  return true;
}

void DeriveKey(const uint8_t master[32], const char *label, const uint8_t *seed,
               uint32_t seed_len, uint8_t *out, uint32_t out_len) {
  KDF_TREE_GOSTR3411_2012_256(master, label, (uint32_t)strlen(label), seed, seed_len, out,
                              out_len);
}

void DeriveTlvKey(const uint8_t master[32], const char *label, const uint8_t gw_nonce[16],
                  TlvKey *out) {
  uint8_t k[64];
  DeriveKey(master, label, gw_nonce, 16, k, sizeof k);
  out->nonce = load_le32(k);
  memcpy(out->key, k + 32, 32);
  zor::crypto::wipe(k, sizeof k);
}

void DeriveImitKey(const uint8_t master[32], const char *label, const uint8_t gw_nonce[16],
                   uint8_t out[32]) {
  DeriveKey(master, label, gw_nonce, 16, out, 32);
}

void DeriveSessionKeys(const uint8_t master[32], uint8_t vesk_key[32], uint8_t client_key[32]) {
  const uint8_t seed = 0x01;
  DeriveKey(master, "vesk seskey", &seed, 1, vesk_key, 32);
  DeriveKey(master, "client seskey", &seed, 1, client_key, 32);
}

void SendMasterFixed(uint8_t out[32]) {
  for (int i = 0; i < 4; ++i) {
    store_le32(out + 8 * i, (uint32_t)kSendMasterWords[i]);
    store_le32(out + 8 * i + 4, (uint32_t)(kSendMasterWords[i] >> 32));
  }
}

uint32_t Imitation(const uint8_t key[32], const uint8_t *data, uint32_t len) {
  uint32_t words[8];
  KeyWords(key, words);
  uint32_t mac = ImPrefixMAGMA(words, data, len);
  zor::crypto::wipe(words, sizeof words);
  return mac;
}

bool SameBytes(const void *a, const void *b, uint32_t n) {
  const uint8_t *x = (const uint8_t *)a, *y = (const uint8_t *)b;
  uint64_t diff = 0;
  uint32_t i = 0;
  // Eight bytes at a time (whole datagrams are compared on the receive path).
  for (; i + 8 <= n; i += 8) {
    uint64_t u, v;
    __builtin_memcpy(&u, x + i, 8);
    __builtin_memcpy(&v, y + i, 8);
    diff |= u ^ v;
  }
  for (; i < n; ++i) diff |= (uint8_t)(x[i] ^ y[i]);
  return diff == 0;
}

}  // namespace zor::wire
