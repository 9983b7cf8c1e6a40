#include "kernel/filter/tunnel_ahead.h"

#include "byte_order.h"
#include "crypto/wipe.h"
#include "kernel/filter/deferred_work.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

using zor::tunnel::client;
using zor::tunnel::ClientMagic;

namespace {

// A frame of the largest datagram opened ahead with the longest headers;
// larger frames of a train get memory of their own.
constexpr uint32_t kFrameRoom = ETH_HEADER_LEN + IPH_MAX_LEN + UDPH_SIZE + GUARD_AHEAD_SLOT;
// What is read of a frame to tell whether it holds a data datagram.
constexpr uint32_t kHeadRoom = ETH_HEADER_LEN + IPH_MAX_LEN + UDPH_SIZE + 8;
// Parts of a train: 1,024 frames outstanding on the workers at most (a part
// of GUARD_AHEAD_PART fills the vector unit's lanes, tunnel_crypto.h).
constexpr uint32_t kParts = 16;
// Parts a deliverer takes down the packet path before it hands the rest to
// a work of its own: a worker returns soon, so its host reports the
// completions of what it delivered.
constexpr uint32_t kDeliverAtOnce = 4;
// The host's reader of the adapter's frames from the network is stopped
// while fewer parts are free than a batch of 256 frames needs, and woken once
// half the train is free again (KERN_netdev_stop, KERN_netdev_wake): what it
// would hand over meanwhile would find no part and be dropped.
constexpr uint32_t kStopBelowFreeParts = 256 / GUARD_AHEAD_PART;
constexpr uint32_t kWakeAtParts = kParts / 2;

struct Entry {
  uint8_t *bytes;  // the frame: in `frame`, or memory of its own
  uint32_t len;
  uint32_t frame_index;  // in the caller's batch (frames opened in the caller)
  uint32_t has_opened;
  GuardOpened opened;
  alignas(16) uint8_t frame[kFrameRoom];
  alignas(16) uint8_t datagram[GUARD_AHEAD_SLOT];  // a train's copy, opened
};

// Frames taken together: in the caller, or as one part of a train.
struct Part {
  KERN_work work;  // first: the host hands this back
  GuardAheadTrain *train;
  uint32_t count, opens, keys, mgm;
  uint32_t done;  // under the train's lock
  uint8_t nonce[8];
  uint32_t key_index[GUARD_AHEAD_PART];
  uint8_t key[GUARD_AHEAD_PART][32];
  GuardDataJob job[GUARD_AHEAD_PART];
  Entry e[GUARD_AHEAD_PART];
};

}  // namespace

struct GuardAheadTrain {
  KERN_work deliver;  // first: a deliverer's rest, handed on (deliver_rest)
  HostAdapter *adapter;
  Part now;    // frames opened in the caller
  Part *ring;  // the parts handed to the workers (kParts), made on first use
  KERN_spinlock_t lock;  // head, parts, delivering and each part's done
  uint32_t head, parts;  // the oldest outstanding part; parts outstanding
  uint32_t delivering;
  uint32_t stopped;  // the host's reader of the adapter's frames from the network
};

namespace {

constexpr uint32_t kNotTunnel = 0, kData = 1, kControl = 2;

// Where a frame from the network (n bytes, of which `have` are in f) holds a
// datagram of the gateway: its kind, and the datagram's offset and length.
uint32_t gateway_datagram(const uint8_t *f, uint32_t have, uint32_t n, uint32_t *at,
                          uint32_t *len) {
  if (have < ETH_HEADER_LEN + IPH_MIN_LEN + UDPH_SIZE || load_be16(f + ETHH_TYPE) != ETH_TYPE_IPV4)
    return kNotTunnel;
  const uint8_t *ip = f + ETH_HEADER_LEN;
  uint32_t ihl = IpHeaderLen(ip);
  if (IpVersion(ip) != IP_VERSION_4 || ihl < IPH_MIN_LEN || ip[IPH_PROTO] != IPPROTO_UDP_NUM)
    return kNotTunnel;
  if (load_be16(ip + IPH_FRAG) & (IP_MORE_FRAGMENTS | IP_OFFSET_MASK)) return kNotTunnel;
  if (load_be32(ip + IPH_SRC) != GuardGatewayAddress()) return kNotTunnel;
  const uint8_t *udp = ip + ihl;
  uint32_t head = ETH_HEADER_LEN + ihl + UDPH_SIZE;
  uint32_t udplen = head + 5 <= have ? load_be16(udp + UDPH_LEN) : 0;
  if (udplen < GUARD_MIN_UDP || ETH_HEADER_LEN + ihl + udplen > n) return kNotTunnel;
  if (load_be16(udp + UDPH_SPORT) != zor::wire::kGatewayPort ||
      load_be16(udp + UDPH_DPORT) != client.sock_port)
    return kNotTunnel;
  *at = head;
  *len = udplen - UDPH_SIZE;
  return zor::wire::PacketTypeOf(udp + UDPH_SIZE) == zor::wire::kData ? kData : kControl;
}

// A datagram of that kind and length is opened ahead: data, from its head up
// to the largest slot.
bool opens_ahead(uint32_t kind, uint32_t len) {
  return kind == kData && len >= GUARD_DATA_HEAD && len <= GUARD_AHEAD_SLOT;
}

bool session_up() {
  return (client.session_flags & GUARD_KEYS_EXIST) && ClientMagic() == zor::wire::kMagic;
}

// Under lock 0: 1 when the host's buffer holds a data datagram of the
// session small enough to be opened ahead.
uint32_t is_data(void *netbuf) {
  uint8_t head[kHeadRoom];
  uint32_t n = KERN_netbuf_len(netbuf), have = n < kHeadRoom ? n : kHeadRoom, at = 0, len = 0;
  if (!session_up() || KERN_netbuf_getdata(netbuf, head, have)) return 0;
  uint32_t kind = gateway_datagram(head, have, n, &at, &len);
  return opens_ahead(kind, len);
}

void start_part(Part *p) {
  p->count = p->opens = p->keys = 0;
  p->mgm = GuardUsesMgm();
  memcpy(p->nonce, client.client_nonce, sizeof p->nonce);
}

// The receive packet key of a counter, as one of the part's copies.
const uint8_t *key_for(Part *p, uint32_t counter) {
  uint32_t index = GuardKeyIndex(counter);
  if (!p->keys || p->key_index[p->keys - 1] != index) {
    UpdatePacketKey(0, counter);
    memcpy(p->key[p->keys], client.keys.recv_packet_key, 32);
    p->key_index[p->keys++] = index;
  }
  return p->key[p->keys - 1];
}

// Under lock 0: the data datagram d (len bytes) of e to be opened with the
// part's next job.
void add_job(Part *p, Entry &e, uint8_t *d, uint32_t len) {
  uint32_t counter = zor::wire::As<zor::wire::DataHead>(d)->counter;
  const uint8_t *key = key_for(p, counter);
  e.opened = {d, len, counter, p->mgm, 0, key, p->nonce};
  e.has_opened = 1;
  p->job[p->opens++] = {d, len, counter, key, 0};
}

void open_jobs(Part *p) {
  GuardOpenDataBatch(p->job, p->opens, p->nonce, p->mgm);
  uint32_t j = 0;
  for (uint32_t i = 0; i < p->count; i++)
    if (p->e[i].has_opened) p->e[i].opened.ok = p->job[j++].ok;
}

void forget_keys(Part *p) { zor::crypto::wipe(p->key, p->keys * sizeof p->key[0]); }

// ---- In the caller -------------------------------------------------------

// Under lock 0: the data datagrams among n frames (at most a part's), until
// the first tunnel datagram that is not data (it may change the keys).
void gather_now(Part *p, void *const *netbufs, uint32_t n) {
  start_part(p);
  if (!session_up()) return;
  for (uint32_t k = 0; k < n; k++) {
    Entry &e = p->e[p->count];
    uint32_t len = KERN_netbuf_len(netbufs[k]), at = 0, dlen = 0;
    if (len > kFrameRoom || KERN_netbuf_getdata(netbufs[k], e.frame, len)) continue;
    uint32_t kind = gateway_datagram(e.frame, len, len, &at, &dlen);
    if (kind == kControl) break;
    if (!opens_ahead(kind, dlen)) continue;
    e.frame_index = k;
    e.has_opened = 0;
    p->count++;
    add_job(p, e, e.frame + at, dlen);
  }
}

// Up to a part's frames: opened here, then down the packet path from the
// host's buffers with their verdicts (a frame alone is opened there).
void receive_now(HostAdapter *adapter, Part *p, void *const *netbufs, uint32_t n,
                 uint32_t *verdicts) {
  if (n == 1) {
    verdicts[0] = RecvFromNetwork(&adapter->filter, netbufs[0], nullptr,
                                  KERN_netbuf_len(netbufs[0]), nullptr);
    return;
  }
  DrvFilterLock(FLT_LOCK_CORE);
  gather_now(p, netbufs, n);
  DrvFilterUnLock(FLT_LOCK_CORE);
  open_jobs(p);
  uint32_t next = 0;
  for (uint32_t k = 0; k < n; k++) {
    const GuardOpened *opened = nullptr;
    if (next < p->count && p->e[next].frame_index == k) opened = &p->e[next++].opened;
    verdicts[k] = RecvFromNetwork(&adapter->filter, netbufs[k], nullptr,
                                  KERN_netbuf_len(netbufs[k]), opened);
  }
  forget_keys(p);
}

// ---- The train -----------------------------------------------------------

// The next free part, outstanding from now on (NULL when all are).
Part *take_part(GuardAheadTrain *t) {
  KERN_spin_lock_lock(&t->lock);
  Part *p = nullptr;
  if (t->parts < kParts) {
    p = &t->ring[(t->head + t->parts) % kParts];
    p->done = 0;  // before it counts: a deliverer looks at it from then on
    t->parts++;
  }
  KERN_spin_lock_unlock(&t->lock);
  if (p) start_part(p);
  return p;
}

bool outstanding(GuardAheadTrain *t) {
  KERN_spin_lock_lock(&t->lock);
  bool any = t->parts != 0;
  KERN_spin_lock_unlock(&t->lock);
  return any;
}

// Under lock 0: a copy of the frame in the part, its data datagram to be
// opened; false when there is no memory for it.
bool copy_in(Part *p, void *netbuf) {
  Entry &e = p->e[p->count];
  uint32_t len = KERN_netbuf_len(netbuf), at = 0, dlen = 0;
  e.bytes = len <= kFrameRoom ? e.frame : static_cast<uint8_t *>(KERN_kmalloc(len));
  if (!e.bytes || KERN_netbuf_getdata(netbuf, e.bytes, len)) {
    if (e.bytes != e.frame) KERN_kfree(e.bytes);
    return false;
  }
  e.len = len;
  e.has_opened = 0;
  p->count++;
  uint32_t kind = session_up() ? gateway_datagram(e.bytes, len, len, &at, &dlen) : kNotTunnel;
  if (opens_ahead(kind, dlen)) {
    memcpy(e.datagram, e.bytes + at, dlen);
    add_job(p, e, e.datagram, dlen);
  }
  return true;
}

// The part's frames down the packet path from their copies, in order.
void run_part(HostAdapter *adapter, Part *p) {
  for (uint32_t i = 0; i < p->count; i++) {
    Entry &e = p->e[i];
    RecvFromNetwork(&adapter->filter, nullptr, e.bytes, e.len, e.has_opened ? &e.opened : nullptr);
    if (e.bytes != e.frame) KERN_kfree(e.bytes);
  }
  forget_keys(p);
}

// With the train's lock held and the delivering mark set: takes the oldest
// parts down the packet path while they are done, the send queues drained
// after each; after kDeliverAtOnce of them the rest goes to a work
// (deliver_rest), unless the queue is full. Releases the lock.
void deliver(GuardAheadTrain *t) {
  for (uint32_t n = 0; t->parts && t->ring[t->head].done; n++) {
    Part *oldest = &t->ring[t->head];
    KERN_spin_lock_unlock(&t->lock);
    if (n == kDeliverAtOnce && FilterQueueWork(&t->deliver) == 0) return;
    run_part(t->adapter, oldest);
    QUEUE_ProcessFltQueueForAllFLT();
    KERN_spin_lock_lock(&t->lock);
    t->head = (t->head + 1) % kParts;
    t->parts--;
    if (t->stopped && t->parts <= kWakeAtParts) {
      t->stopped = 0;
      KERN_netdev_wake(t->adapter->netdev, KERN_FROM_NETWORK);
    }
  }
  t->delivering = 0;
  KERN_spin_lock_unlock(&t->lock);
}

// The work that goes on with a deliverer's rest.
void deliver_rest(KERN_work *work) {
  auto *t = reinterpret_cast<GuardAheadTrain *>(work);
  KERN_spin_lock_lock(&t->lock);
  deliver(t);
  FilterWorkDone();
}

// Marks the part done; then, unless another thread delivers, delivers the
// oldest parts while they are done. No lock held.
void part_done(Part *p) {
  GuardAheadTrain *t = p->train;
  KERN_spin_lock_lock(&t->lock);
  p->done = 1;
  if (t->delivering) {
    KERN_spin_lock_unlock(&t->lock);
    return;
  }
  t->delivering = 1;
  deliver(t);
}

// Opens the part's datagrams, here or on a worker (open_part_work).
void open_part(Part *p) {
  open_jobs(p);
  part_done(p);
}

void open_part_work(KERN_work *work) {
  open_part(reinterpret_cast<Part *>(work));
  FilterWorkDone();
}

// Stops the host's reader while the train is nearly full. Stop and wake go
// under the train's lock, so a deliverer's wake never comes before the stop.
void stop_if_short(GuardAheadTrain *t) {
  KERN_spin_lock_lock(&t->lock);
  if (!t->stopped && kParts - t->parts < kStopBelowFreeParts) {
    t->stopped = 1;
    KERN_netdev_stop(t->adapter->netdev, KERN_FROM_NETWORK);
  }
  KERN_spin_lock_unlock(&t->lock);
}

// Frames copied into the train, in parts; their verdicts "taken".
void receive_into_train(GuardAheadTrain *t, void *const *netbufs, uint32_t n,
                        uint32_t *verdicts) {
  // Parts of even size, as few as hold the frames.
  const uint32_t needed = (n + GUARD_AHEAD_PART - 1) / GUARD_AHEAD_PART;
  const uint32_t share = (n + needed - 1) / needed;
  Part *filled[kParts];
  uint32_t parts = 0;
  DrvFilterLock(FLT_LOCK_CORE);
  for (uint32_t k = 0; k < n; k++) {
    verdicts[k] = VERDICT_TAKEN;
    Part *p = parts ? filled[parts - 1] : nullptr;
    if (!p || p->count == share) {
      p = take_part(t);
      if (p) filled[parts++] = p;
    }
    if (!p || !copy_in(p, netbufs[k])) StatIncRecvErrPacks(STAT_NO_ENTRY);
  }
  DrvFilterUnLock(FLT_LOCK_CORE);
  stop_if_short(t);
  for (uint32_t i = 0; i < parts; i++) {
    Part *p = filled[i];
    if (!p->opens || FilterQueueWork(&p->work) != 0) open_part(p);
  }
}

GuardAheadTrain *train_of(HostAdapter *adapter) {
  if (adapter->ahead) return adapter->ahead;
  auto *t = static_cast<GuardAheadTrain *>(KERN_kmalloc(sizeof(GuardAheadTrain)));
  if (!t) return nullptr;
  t->deliver.fn = deliver_rest;
  t->adapter = adapter;
  t->ring = nullptr;
  t->head = t->parts = t->delivering = t->stopped = 0;
  KERN_spin_lock_init(&t->lock);
  adapter->ahead = t;
  return t;
}

bool has_ring(GuardAheadTrain *t) {
  if (t->ring) return true;
  t->ring = static_cast<Part *>(KERN_kmalloc(kParts * sizeof(Part)));
  if (!t->ring) return false;
  for (uint32_t i = 0; i < kParts; i++) {
    t->ring[i].work.fn = open_part_work;
    t->ring[i].train = t;
  }
  return true;
}

// With workers: the frames ahead of the first data datagram, while nothing
// is outstanding, at once; from there on into the train. The index of the
// first frame not handled.
uint32_t receive_ahead_of_train(HostAdapter *adapter, GuardAheadTrain *t, void *const *netbufs,
                                uint32_t count, uint32_t *verdicts) {
  uint32_t k = 0;
  for (; k < count && !outstanding(t); k++) {
    DrvFilterLock(FLT_LOCK_CORE);
    uint32_t data = is_data(netbufs[k]);
    DrvFilterUnLock(FLT_LOCK_CORE);
    if (data) {
      if (count - k >= GUARD_AHEAD_PART_MIN) return k;
      receive_now(adapter, &t->now, netbufs + k, count - k, verdicts + k);
      return count;
    }
    verdicts[k] = RecvFromNetwork(&adapter->filter, netbufs[k], nullptr,
                                  KERN_netbuf_len(netbufs[k]), nullptr);
  }
  return k;
}

}  // namespace

extern "C" {

void GuardReceiveFrames(HostAdapter *adapter, void *const *netbufs, uint32_t count,
                        uint32_t *verdicts) {
  GuardAheadTrain *t = train_of(adapter);
  if (t && KERN_work_workers() && has_ring(t)) {
    uint32_t k = receive_ahead_of_train(adapter, t, netbufs, count, verdicts);
    if (k < count) receive_into_train(t, netbufs + k, count - k, verdicts + k);
    return;
  }
  for (uint32_t first = 0; first < count; first += GUARD_AHEAD_PART) {
    uint32_t n = count - first < GUARD_AHEAD_PART ? count - first : GUARD_AHEAD_PART;
    if (t) {
      receive_now(adapter, &t->now, netbufs + first, n, verdicts + first);
      continue;
    }
    for (uint32_t k = first; k < first + n; k++)
      verdicts[k] = RecvFromNetwork(&adapter->filter, netbufs[k], nullptr,
                                    KERN_netbuf_len(netbufs[k]), nullptr);
  }
}

uint32_t GuardTakeOpenedAhead(const FrameContext *ctx, uint8_t *d, uint32_t len,
                              const uint8_t key[32], uint32_t counter, const uint8_t nonce[8],
                              uint32_t mgm, uint32_t *ok) {
  const GuardOpened *o = ctx->opened;
  if (!o || o->len != len || o->counter != counter || o->mgm != mgm ||
      !zor::wire::SameBytes(o->key, key, 32) || !zor::wire::SameBytes(o->nonce, nonce, 8))
    return 0;
  memcpy(d, o->d, len);
  *ok = o->ok;
  return 1;
}

void GuardFreeAhead(HostAdapter *adapter) {
  GuardAheadTrain *t = adapter->ahead;
  if (!t) return;
  KERN_spin_lock_free(&t->lock);
  KERN_kfree(t->ring);
  KERN_kfree(t);
  adapter->ahead = nullptr;
}

}  // extern "C"
