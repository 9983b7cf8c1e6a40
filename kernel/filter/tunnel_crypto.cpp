#include "kernel/filter/tunnel_crypto.h"

#include "byte_order.h"
#include "crypto/magma.h"
#include "crypto/magma_lanes.h"
#include "crypto/magma_mgm.h"
#include "crypto/magma_modes.h"
#include "crypto/wipe.h"
#include "kern_host.h"
#include "kernel/filter/wire_format.h"

namespace {

using zor::wire::DataHead;
using zor::wire::OobHead;

constexpr uint32_t kOobPlain = 0x4000;
// Data: bytes from the type byte are covered; word A's place starts the
// enciphered (OFB) or the MGM-enciphered (after word A) part.
constexpr uint32_t kCovered = offsetof(DataHead, type);
constexpr uint32_t kWordA = offsetof(DataHead, word_a);
constexpr uint32_t kSecret = offsetof(DataHead, far_addr);
// Out-of-band: the data follows the header, then words B and A; OFB runs
// over the data and word B.
constexpr uint32_t kOobData = sizeof(OobHead);
constexpr uint32_t kOobWordB = offsetof(zor::wire::OobTrailer, word_b),
                   kOobWordA = offsetof(zor::wire::OobTrailer, word_a);
constexpr uint32_t kOobOfbExtra = sizeof(zor::wire::OobTrailer::word_b);
// Control: everything after the magic is covered and enciphered; the
// imitation ends the datagram.
constexpr uint32_t kControlCovered = offsetof(zor::wire::ControlHead, type);
constexpr uint32_t kControlImit = zor::wire::kImitationSize;

// A byte key as cipher words, wiped when it goes out of scope.
struct Words {
  uint32_t w[8];
  explicit Words(const uint8_t key[32]) {
    for (int i = 0; i < 8; i++) w[i] = load_le32(key + 4 * i);
  }
  ~Words() { zor::crypto::wipe(w, sizeof w); }
};

uint64_t mgm_nonce(uint32_t counter, const uint8_t nonce[8]) {
  uint64_t n = 0;
  for (int i = 7; i >= 0; i--) n = n << 8 | nonce[i];
  return n ^ counter;
}

// Magma imitation over len bytes: high half returned, low half in *lo.
uint32_t imitation(const Words &k, const uint8_t *data, uint32_t len, uint32_t *lo) {
  uint32_t hi = ImPrefixMAGMA(k.w, data, len);
  *lo = ImPrefixMAGMAStoreLO();
  return hi;
}

uint32_t same(uint32_t a, uint32_t b) { return a == b ? 1 : 0; }

using zor::crypto::MacLane;
using zor::crypto::OfbLane;

// Batches run in chunks of at most this many datagrams and key changes
// (kept small for kernel stacks).
constexpr uint32_t kChunk = zor::crypto::kWideLanes;
constexpr uint32_t kChunkKeys = 4;

// The datagrams from the first on that make one chunk.
uint32_t chunk_at(const GuardDataJob *jobs, uint32_t n) {
  uint32_t m = 1, keys = 1;
  for (; m < n && m < kChunk; m++) {
    if (jobs[m].key == jobs[m - 1].key) continue;
    if (keys == kChunkKeys) break;
    keys++;
  }
  return m;
}

// The cipher words of a chunk's keys; a key is converted once for the
// datagrams next to each other that point at it.
struct ChunkKeys {
  uint32_t w[kChunkKeys][8];
  uint8_t of[kChunk];
  ChunkKeys(const GuardDataJob *jobs, uint32_t n) {
    uint32_t count = 0;
    for (uint32_t j = 0; j < n; j++) {
      if (j == 0 || jobs[j].key != jobs[j - 1].key) {
        for (int i = 0; i < 8; i++) w[count][i] = load_le32(jobs[j].key + 4 * i);
        count++;
      }
      of[j] = (uint8_t)(count - 1);
    }
  }
  ~ChunkKeys() { zor::crypto::wipe(w, sizeof w); }
  const uint32_t *key(uint32_t j) const { return w[of[j]]; }
};

// One chunk's lanes: the MAC pass, then the OFB pass in the same room.
union ChunkLanes {
  MacLane mac[kChunk];
  OfbLane ofb[kChunk];
};

uint64_t ofb_iv(uint32_t counter, uint32_t b) { return (uint64_t)b << 32 | (counter ^ b); }

void seal_chunk(GuardDataJob *jobs, uint32_t n) {
  ChunkKeys keys(jobs, n);
  ChunkLanes lanes{};
  for (uint32_t j = 0; j < n; j++) {
    store_le32(jobs[j].d + kWordA, 0);
    lanes.mac[j] = {keys.key(j), jobs[j].d + kCovered, jobs[j].len - kCovered, 0};
  }
  zor::crypto::magma_cmac_lanes(lanes.mac, n);
  for (uint32_t j = 0; j < n; j++) {
    uint8_t *d = jobs[j].d;
    uint64_t mac = lanes.mac[j].mac;
    store_le32(d, (uint32_t)mac);
    store_le32(d + kWordA, (uint32_t)(mac >> 32));
    lanes.ofb[j] = {keys.key(j), d + kWordA, jobs[j].len - kWordA, ofb_iv(jobs[j].counter, (uint32_t)mac)};
  }
  zor::crypto::magma_ofb_lanes(lanes.ofb, n);
}

void open_chunk(GuardDataJob *jobs, uint32_t n) {
  ChunkKeys keys(jobs, n);
  ChunkLanes lanes{};
  uint32_t a[kChunk];
  for (uint32_t j = 0; j < n; j++)
    lanes.ofb[j] = {keys.key(j), jobs[j].d + kWordA, jobs[j].len - kWordA,
                    ofb_iv(jobs[j].counter, load_le32(jobs[j].d))};
  zor::crypto::magma_ofb_lanes(lanes.ofb, n);
  for (uint32_t j = 0; j < n; j++) {
    a[j] = load_le32(jobs[j].d + kWordA);
    store_le32(jobs[j].d + kWordA, 0);
    lanes.mac[j] = {keys.key(j), jobs[j].d + kCovered, jobs[j].len - kCovered, 0};
  }
  zor::crypto::magma_cmac_lanes(lanes.mac, n);
  for (uint32_t j = 0; j < n; j++) {
    uint64_t mac = lanes.mac[j].mac;
    jobs[j].ok = same((uint32_t)(mac >> 32), a[j]) & same((uint32_t)mac, load_le32(jobs[j].d));
  }
}

// MGM: the datagrams next to each other under one key, protected or
// opened as one call's messages.
uint32_t mgm_chunk_at(const GuardDataJob *jobs, uint32_t n) {
  uint32_t m = 1;
  while (m < n && m < kChunk && jobs[m].key == jobs[0].key) m++;
  return m;
}

void mgm_chunk(GuardDataJob *jobs, uint32_t n, const uint8_t nonce[8], uint32_t encrypt) {
  Words k(jobs[0].key);
  MgmMessage msgs[kChunk];
  uint32_t a[kChunk];
  for (uint32_t j = 0; j < n; j++) {
    uint8_t *d = jobs[j].d;
    a[j] = load_le32(d + kWordA);
    store_le32(d + kWordA, 0);
    msgs[j] = {d + kSecret, jobs[j].len - kSecret, mgm_nonce(jobs[j].counter, nonce), d + kCovered,
               kWordA, 0};
  }
  magmamgm_aead_many(k.w, msgs, n, encrypt);
  for (uint32_t j = 0; j < n; j++) {
    uint8_t *d = jobs[j].d;
    const uint64_t tag = msgs[j].tag;
    if (encrypt) {
      store_le32(d, (uint32_t)tag);
      store_le32(d + kWordA, (uint32_t)(tag >> 32));
    } else {
      jobs[j].ok = same((uint32_t)tag, load_le32(d)) & same((uint32_t)(tag >> 32), a[j]);
    }
  }
}

}  // namespace

extern "C" {

uint32_t GuardKeyIndex(uint32_t counter) { return counter / 62500 + 1; }

void GuardPacketKey(const uint8_t master[32], const uint8_t base[32], uint32_t index,
                    uint8_t out[32]) {
  Words k(master);
  memmove(out, base, 32);
  EncipherData8SAMAGMAOFB(k.w, out, 4, index, index);
}

void GuardSealData(uint8_t *d, uint32_t len, const uint8_t key[32], uint32_t counter,
                   const uint8_t nonce[8], uint32_t mgm) {
  Words k(key);
  store_le32(d + kWordA, 0);
  if (mgm) {
    uint64_t n = mgm_nonce(counter, nonce), tag = 0;
    magmamgm_aead(k.w, d + kSecret, len - kSecret, &n, d + kCovered, kWordA, &tag, 1);
    store_le32(d, (uint32_t)tag);
    store_le32(d + kWordA, (uint32_t)(tag >> 32));
    return;
  }
  uint32_t b;
  uint32_t a = imitation(k, d + kCovered, len - kCovered, &b);
  store_le32(d, b);
  store_le32(d + kWordA, a);
  EncipherData8MAGMAOFB2(k.w, d + kWordA, len - kWordA, counter ^ b, b);
}

uint32_t GuardOpenData(uint8_t *d, uint32_t len, const uint8_t key[32], uint32_t counter,
                       const uint8_t nonce[8], uint32_t mgm) {
  Words k(key);
  uint32_t b = load_le32(d);
  if (mgm) {
    uint32_t a = load_le32(d + kWordA);
    store_le32(d + kWordA, 0);
    uint64_t n = mgm_nonce(counter, nonce), tag = 0;
    magmamgm_aead(k.w, d + kSecret, len - kSecret, &n, d + kCovered, kWordA, &tag, 0);
    return same((uint32_t)tag, b) & same((uint32_t)(tag >> 32), a);
  }
  EncipherData8MAGMAOFB2(k.w, d + kWordA, len - kWordA, counter ^ b, b);
  uint32_t a = load_le32(d + kWordA);
  store_le32(d + kWordA, 0);
  uint32_t lo;
  uint32_t hi = imitation(k, d + kCovered, len - kCovered, &lo);
  return same(hi, a) & same(lo, b);
}

void GuardSealDataBatch(GuardDataJob *jobs, uint32_t n, const uint8_t nonce[8], uint32_t mgm) {
  if (mgm) {
    for (uint32_t i = 0, m; i < n; i += m) mgm_chunk(jobs + i, m = mgm_chunk_at(jobs + i, n - i), nonce, 1);
    return;
  }
  for (uint32_t i = 0, m; i < n; i += m) seal_chunk(jobs + i, m = chunk_at(jobs + i, n - i));
}

void GuardOpenDataBatch(GuardDataJob *jobs, uint32_t n, const uint8_t nonce[8], uint32_t mgm) {
  if (mgm) {
    for (uint32_t i = 0, m; i < n; i += m) mgm_chunk(jobs + i, m = mgm_chunk_at(jobs + i, n - i), nonce, 0);
    return;
  }
  for (uint32_t i = 0, m; i < n; i += m) open_chunk(jobs + i, m = chunk_at(jobs + i, n - i));
}

void GuardSealOob(uint8_t *d, uint32_t n, const uint8_t key[32], uint32_t counter,
                  const uint8_t nonce[8], uint32_t mgm) {
  Words k(key);
  bool plain = zor::wire::As<OobHead>(d)->code & kOobPlain;
  if (mgm) {
    uint64_t nn = mgm_nonce(counter, nonce), tag = 0;
    if (plain)
      magmamgm_aead(k.w, nullptr, 0, &nn, d, kOobData + n, &tag, 1);
    else
      magmamgm_aead(k.w, d + kOobData, n, &nn, d, kOobData, &tag, 1);
    store_le32(d + kOobData + n + kOobWordB, (uint32_t)tag);
    store_le32(d + kOobData + n + kOobWordA, (uint32_t)(tag >> 32));
    return;
  }
  uint32_t b;
  uint32_t a = imitation(k, d, kOobData + n, &b);
  store_le32(d + kOobData + n + kOobWordB, b);
  if (!plain) EncipherData8MAGMAOFB2(k.w, d + kOobData, n + kOobOfbExtra, counter ^ a, a);
  store_le32(d + kOobData + n + kOobWordA, a);
}

uint32_t GuardOpenOob(uint8_t *d, uint32_t n, const uint8_t key[32], uint32_t counter,
                      const uint8_t nonce[8], uint32_t mgm) {
  Words k(key);
  bool plain = zor::wire::As<OobHead>(d)->code & kOobPlain;
  uint32_t a = load_le32(d + kOobData + n + kOobWordA);
  if (mgm) {
    uint32_t b = load_le32(d + kOobData + n + kOobWordB);
    uint64_t nn = mgm_nonce(counter, nonce), tag = 0;
    if (plain)
      magmamgm_aead(k.w, nullptr, 0, &nn, d, kOobData + n, &tag, 0);
    else
      magmamgm_aead(k.w, d + kOobData, n, &nn, d, kOobData, &tag, 0);
    return same((uint32_t)tag, b) & same((uint32_t)(tag >> 32), a);
  }
  if (!plain) EncipherData8MAGMAOFB2(k.w, d + kOobData, n + kOobOfbExtra, counter ^ a, a);
  uint32_t b = load_le32(d + kOobData + n + kOobWordB);
  uint32_t lo;
  uint32_t hi = imitation(k, d, kOobData + n, &lo);
  return same(hi, a) & same(lo, b);
}

void GuardSealControl(uint8_t *d, uint32_t len, const uint8_t key[32]) {
  Words k(key);
  uint8_t *covered = d + kControlCovered, *imit = d + len - kControlImit;
  const uint32_t n = len - kControlCovered;
  store_le32(imit, 0);
  store_le32(imit, ImPrefixMAGMA(k.w, covered, n));
  EncipherData8MAGMAOFB(k.w, covered, n);
}

uint32_t GuardOpenControl(uint8_t *d, uint32_t len, const uint8_t key[32]) {
  Words k(key);
  uint8_t *covered = d + kControlCovered, *imit = d + len - kControlImit;
  const uint32_t n = len - kControlCovered;
  EncipherData8MAGMAOFB(k.w, covered, n);
  uint32_t mac = load_le32(imit);
  store_le32(imit, 0);
  uint32_t ok = same(ImPrefixMAGMA(k.w, covered, n), mac);
  store_le32(imit, mac);
  return ok;
}

}  // extern "C"
