#include "kernel/filter/tunnel_ahead.h"

#include "byte_order.h"
#include "crypto/wipe.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

using zor::tunnel::client;
using zor::tunnel::ClientMagic;

namespace {

// A frame of the largest datagram opened ahead with the longest headers.
constexpr uint32_t kFrameRoom = ETH_HEADER_LEN + IPH_MAX_LEN + UDPH_SIZE + GUARD_AHEAD_SLOT;
// A part smaller than this leaves too many lanes of the vector unit idle
// (the datagrams of one part run side by side) to be worth a worker.
constexpr uint32_t kPartMin = 16;
constexpr uint32_t kMaxParts = GUARD_AHEAD_MAX / kPartMin;

struct Entry {
  void *netbuf;
  uint32_t frame_index;  // in the batch
  uint32_t len, counter, key, ok;
  uint8_t *d;  // the datagram in frame
  alignas(16) uint8_t frame[kFrameRoom];
};

// A share of the datagrams opened on a worker.
struct OpenPart {
  KERN_work work;  // first: the host hands this back
  GuardAheadSet *set;
  uint32_t first, count;
  KERN_completion_t done;
};

}  // namespace

struct GuardAheadSet {
  uint32_t count, next, mgm, keys;
  uint32_t parts, awaited;  // parts of the batch; those done or waited for
  uint8_t nonce[8];
  uint32_t key_index[GUARD_AHEAD_MAX];
  uint8_t key[GUARD_AHEAD_MAX][32];
  GuardDataJob job[GUARD_AHEAD_MAX];
  Entry e[GUARD_AHEAD_MAX];
  OpenPart part[kMaxParts];
};

namespace {

constexpr uint32_t kNotTunnel = 0, kData = 1, kControl = 2;

// Where a frame from the network holds a datagram of the gateway: its
// kind, and the datagram in *d, *len.
uint32_t gateway_datagram(uint8_t *f, uint32_t n, uint8_t **d, uint32_t *len) {
  if (n < ETH_HEADER_LEN + IPH_MIN_LEN + UDPH_SIZE || load_be16(f + ETHH_TYPE) != ETH_TYPE_IPV4)
    return kNotTunnel;
  uint8_t *ip = f + ETH_HEADER_LEN;
  uint32_t ihl = IpHeaderLen(ip);
  if (IpVersion(ip) != IP_VERSION_4 || ihl < IPH_MIN_LEN || ip[IPH_PROTO] != IPPROTO_UDP_NUM)
    return kNotTunnel;
  if (load_be16(ip + IPH_FRAG) & (IP_MORE_FRAGMENTS | IP_OFFSET_MASK)) return kNotTunnel;
  if (load_be32(ip + IPH_SRC) != GuardGatewayAddress()) return kNotTunnel;
  uint8_t *udp = ip + ihl;
  uint32_t udplen = ETH_HEADER_LEN + ihl + UDPH_SIZE <= n ? load_be16(udp + UDPH_LEN) : 0;
  if (udplen < GUARD_MIN_UDP || ETH_HEADER_LEN + ihl + udplen > n) return kNotTunnel;
  if (load_be16(udp + UDPH_SPORT) != zor::wire::kGatewayPort ||
      load_be16(udp + UDPH_DPORT) != client.sock_port)
    return kNotTunnel;
  *d = udp + UDPH_SIZE;
  *len = udplen - UDPH_SIZE;
  return zor::wire::PacketTypeOf(*d) == zor::wire::kData ? kData : kControl;
}

GuardAheadSet *set_of(HostAdapter *adapter) {
  if (adapter->ahead) return adapter->ahead;
  auto *set = static_cast<GuardAheadSet *>(KERN_kmalloc(sizeof(GuardAheadSet)));
  if (!set) return nullptr;
  set->count = set->keys = set->parts = set->awaited = 0;
  for (OpenPart &part : set->part) KERN_completion_init(&part.done);
  adapter->ahead = set;
  return set;
}

// The receive packet key of a counter, as one of the set's copies.
const uint8_t *key_for(GuardAheadSet *set, uint32_t counter) {
  uint32_t index = GuardKeyIndex(counter);
  if (!set->keys || set->key_index[set->keys - 1] != index) {
    UpdatePacketKey(0, counter);
    memcpy(set->key[set->keys], client.keys.recv_packet_key, 32);
    set->key_index[set->keys++] = index;
  }
  return set->key[set->keys - 1];
}

// Under lock 0: the data datagrams of the frames, ready to be opened.
void gather(GuardAheadSet *set, void *const *netbufs, uint32_t count) {
  if (!(client.session_flags & GUARD_KEYS_EXIST) || ClientMagic() != zor::wire::kMagic) return;
  set->mgm = GuardUsesMgm();
  memcpy(set->nonce, client.client_nonce, sizeof set->nonce);
  for (uint32_t k = 0; k < count && k < GUARD_AHEAD_MAX; k++) {
    Entry &e = set->e[set->count];
    uint32_t n = KERN_netbuf_len(netbufs[k]);
    if (n > kFrameRoom || KERN_netbuf_getdata(netbufs[k], e.frame, n)) continue;
    uint32_t kind = gateway_datagram(e.frame, n, &e.d, &e.len);
    if (kind == kControl) break;
    if (kind != kData || e.len < GUARD_DATA_HEAD || e.len > GUARD_AHEAD_SLOT) continue;
    e.netbuf = netbufs[k];
    e.frame_index = k;
    e.counter = zor::wire::As<zor::wire::DataHead>(e.d)->counter;
    e.ok = 0;
    const uint8_t *key = key_for(set, e.counter);
    e.key = set->keys - 1;
    set->job[set->count++] = {e.d, e.len, e.counter, key, 0};
  }
}

void open_range(GuardAheadSet *set, uint32_t first, uint32_t count) {
  GuardOpenDataBatch(set->job + first, count, set->nonce, set->mgm);
  for (uint32_t i = first; i < first + count; i++) set->e[i].ok = set->job[i].ok;
}

void open_part(KERN_work *work) {
  auto *part = reinterpret_cast<OpenPart *>(work);
  open_range(part->set, part->first, part->count);
  KERN_complete(&part->done);
}

// Without lock 0: the datagrams split into parts; all but the first go to
// the workers, the first is opened here.
void open_all(GuardAheadSet *set) {
  uint32_t n = set->count, parts = 1, workers = KERN_work_workers();
  if (workers) parts = n / kPartMin < workers + 1 ? n / kPartMin : workers + 1;
  if (parts > kMaxParts) parts = kMaxParts;
  if (parts < 1) parts = 1;
  const uint32_t share = (n + parts - 1) / parts;
  for (uint32_t p = 0; p < parts; p++) {
    OpenPart &part = set->part[p];
    part.work.fn = open_part;
    part.set = set;
    part.first = p * share;
    part.count = part.first + share <= n ? share : n - part.first;
  }
  set->parts = parts;
  set->awaited = 1;
  for (uint32_t p = 1; p < parts; p++) KERN_work_queue(&set->part[p].work);
  open_range(set, 0, set->part[0].count);
}

// Waits for the parts on the workers up to `parts`.
void await_parts(GuardAheadSet *set, uint32_t parts) {
  for (; set->awaited < parts; set->awaited++) KERN_wait_for_completion(&set->part[set->awaited].done);
}

void forget(GuardAheadSet *set) {
  await_parts(set, set->parts);
  zor::crypto::wipe(set->key, set->keys * sizeof set->key[0]);
  set->count = set->next = set->keys = set->parts = set->awaited = 0;
}

}  // namespace

extern "C" {

void GuardOpenAhead(HostAdapter *adapter, void *const *netbufs, uint32_t count) {
  if (adapter->ahead) forget(adapter->ahead);
  if (!count) return;
  DrvFilterLock(FLT_LOCK_CORE);
  GuardAheadSet *set = set_of(adapter);
  if (set) gather(set, netbufs, count);
  DrvFilterUnLock(FLT_LOCK_CORE);
  if (set && set->count) open_all(set);
}

void GuardAwaitAhead(HostAdapter *adapter, uint32_t index) {
  GuardAheadSet *set = adapter->ahead;
  if (!set) return;
  uint32_t parts = set->awaited;
  while (parts < set->parts && set->e[set->part[parts].first].frame_index <= index) parts++;
  await_parts(set, parts);
}

uint32_t GuardTakeOpenedAhead(const FrameContext *ctx, uint8_t *d, uint32_t len,
                              const uint8_t key[32], uint32_t counter, const uint8_t nonce[8],
                              uint32_t mgm, uint32_t *ok) {
  GuardAheadSet *set = ctx->adapter->host ? ctx->adapter->host->ahead : nullptr;
  if (!set) return 0;
  // Frames come in the order they were gathered: the search goes on from
  // the last one taken.
  for (uint32_t i = set->next; i < set->count; i++) {
    Entry &e = set->e[i];
    if (e.netbuf != ctx->netbuf) continue;
    set->next = i + 1;
    if (e.len != len || e.counter != counter || set->mgm != mgm ||
        !zor::wire::SameBytes(set->key[e.key], key, 32) ||
        !zor::wire::SameBytes(set->nonce, nonce, 8))
      return 0;
    memcpy(d, e.d, len);
    *ok = e.ok;
    return 1;
  }
  return 0;
}

void GuardFreeAhead(HostAdapter *adapter) {
  GuardAheadSet *set = adapter->ahead;
  if (!set) return;
  forget(set);
  for (OpenPart &part : set->part) KERN_completion_free(&part.done);
  KERN_kfree(set);
  adapter->ahead = nullptr;
}

}  // extern "C"
