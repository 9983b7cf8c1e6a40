#include "kernel/filter/send_queues.h"

#include "kernel/filter/filter_core.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/ip_fragments.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"

namespace {

bool is_accepted(HostAdapter *adapter) {
  KERN_spin_lock_lock(&adapter->statelock);
  bool accepted = adapter->accepted != 0;
  KERN_spin_lock_unlock(&adapter->statelock);
  return accepted;
}

CompletionBucket *bucket_of(HostAdapter *adapter, void *netbuf) {
  return &adapter->buckets[QUEUE_CalcHash(netbuf)];
}

bool is_static_sendbuf(const FilterFrame *frame) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(frame);
  return p == updsendbuf || p == auxsendbuf;
}

bool in_handshake_buffer(const FilterFrame *frame) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(frame);
  return handshakebuf && p >= handshakebuf && p < handshakebuf + FLT_HANDSHAKE_BUF_SIZE;
}

// Frames handed to the host in one call, all of one direction.
constexpr int kHandOverMax = 64;
struct HandOver {
  void *netbufs[kHandOverMax];
  FilterFrame *frames[kHandOverMax];
  int count;
  uint16_t direction;
};

// Hands the gathered frames to the host in one call; when it refuses, each
// is taken back and completed.
void hand_over(HostAdapter *adapter, HandOver &h) {
  if (!h.count) return;
  int refused = h.direction == 1 ? KERN_netbuf_queue_send(h.netbufs, h.count, adapter->netdev)
                                 : KERN_netbuf_queue_recv(h.netbufs, h.count, adapter->netdev);
  if (refused) {
    for (int i = 0; i < h.count; i++) {
      QUEUE_PacketFromQueue(bucket_of(adapter, h.netbufs[i]), h.netbufs[i], 1);
      FilterSendComplete(h.frames[i]);
      KERN_netbuf_free(h.netbufs[i]);
    }
  }
  h.count = 0;
}

// Adds one frame to the hand-over (handing over first what waits when the
// direction changes or it is full); completes it at once when it cannot go.
void stage_whole(HostAdapter *adapter, FilterFrame *frame, HandOver &h) {
  void *netbuf = nullptr;
  if (frame->length != 0 && is_accepted(adapter))
    netbuf = KERN_netbuf_wrap(adapter->netdev, frame->data, frame->length, frame->direction == 1);
  if (!netbuf) {
    if (frame->adapter == &adapter->filter) FilterSendComplete(frame);
    return;
  }
  // Without a bucket entry the host's report could not find the frame:
  // treat it as a refusal.
  if (!QUEUE_PacketToQueue(bucket_of(adapter, netbuf), netbuf, frame)) {
    FilterSendComplete(frame);
    KERN_netbuf_free(netbuf);
    return;
  }
  if (h.count && (h.direction != frame->direction || h.count == kHandOverMax)) hand_over(adapter, h);
  h.direction = frame->direction;
  h.netbufs[h.count] = netbuf;
  h.frames[h.count] = frame;
  h.count++;
}

// A frame of the pool for one fragment of `frame`'s datagram; NULL when
// there is no memory.
FilterFrame *new_fragment(const FilterFrame *frame, uint32_t step, uint32_t off) {
  const uint32_t len = IPFragmentFrameLen(frame->data, step, off);
  DrvFilterLock(FLT_LOCK_CORE);
  auto *f = static_cast<FilterFrame *>(MVAlloc((uint32_t)sizeof(FilterFrame) + len));
  DrvFilterUnLock(FLT_LOCK_CORE);
  if (!f) return nullptr;
  *f = {frame->adapter, frame->direction, (uint16_t)len, 0};
  IPPutFragment(frame->data, step, off, f->data);
  return f;
}

// A datagram to the network above the adapter's MTU leaves as IPv4
// fragments (ip_fragments.h), each a frame of the pool, and its own frame is
// complete; a fragment that finds no memory ends the datagram there (the
// receiver's reassembly lets the rest go). Anything else leaves whole.
void stage_frame(HostAdapter *adapter, FilterFrame *frame, HandOver &h) {
  const uint32_t step =
      frame->direction == 1 && frame->adapter == &adapter->filter
          ? IPFragmentStep(frame->data, frame->length, frame->adapter->maxframelen - ETH_HEADER_LEN)
          : 0;
  if (!step) return stage_whole(adapter, frame, h);
  const uint32_t payload = IPFragmentPayload(frame->data);
  for (uint32_t off = 0; off < payload; off += step) {
    FilterFrame *f = new_fragment(frame, step, off);
    if (!f) break;
    stage_whole(adapter, f, h);
  }
  FilterSendComplete(frame);
}

bool to_stack(const QueueNode *node) { return node->frame && node->frame->direction == 0; }

// Under the send-list lock: unlinks the first frame up to the stack behind
// `before` (frames being protected).
QueueNode *take_first_to_stack(HostAdapter *adapter, ZorListEntry *before) {
  for (ZorListEntry *e = before->next; e; before = e, e = e->next) {
    if (!to_stack(reinterpret_cast<QueueNode *>(e))) continue;
    before->next = e->next;
    if (adapter->sendlist.last == e) adapter->sendlist.last = before;
    adapter->to_stack--;
    return reinterpret_cast<QueueNode *>(e);
  }
  return nullptr;
}

// Under the send-list lock: the first node, unless its frame is still being
// protected; then the first frame up to the stack, if any.
QueueNode *take_ready_locked(HostAdapter *adapter) {
  auto *node = reinterpret_cast<QueueNode *>(adapter->sendlist.first);
  if (!node) return nullptr;
  if (node->frame && node->frame->sealing)
    return adapter->to_stack ? take_first_to_stack(adapter, &node->link) : nullptr;
  if (to_stack(node)) adapter->to_stack--;
  return reinterpret_cast<QueueNode *>(zorRemoveHeadList(&adapter->sendlist));
}

QueueNode *take_ready(HostAdapter *adapter) {
  KERN_spin_lock_lock(&adapter->sendlock);
  QueueNode *node = take_ready_locked(adapter);
  KERN_spin_lock_unlock(&adapter->sendlock);
  return node;
}

// Takes the next node; clears the drain flag when none is ready (whoever
// makes the head ready drains next).
QueueNode *next_node_or_finish(HostAdapter *adapter) {
  KERN_spin_lock_lock(&adapter->sendlock);
  QueueNode *node = take_ready_locked(adapter);
  if (!node) adapter->draining = 0;
  KERN_spin_lock_unlock(&adapter->sendlock);
  return node;
}

void drain_one(HostAdapter *adapter, void *) { DRVF_LanSendRecvPacketFromFilterFromQueue(adapter); }

void count_pending(HostAdapter *adapter, void *ctx) {
  for (CompletionBucket &b : adapter->buckets) {
    KERN_spin_lock_lock(&b.lock);
    *static_cast<uint64_t *>(ctx) += b.count;
    KERN_spin_lock_unlock(&b.lock);
  }
}

void forget_frames(HostAdapter *adapter, void *) {
  KERN_spin_lock_lock(&adapter->sendlock);
  while (ZorListEntry *node = zorRemoveHeadList(&adapter->sendlist)) KERN_kfree(node);
  adapter->to_stack = 0;
  KERN_spin_lock_unlock(&adapter->sendlock);
  for (CompletionBucket &b : adapter->buckets) {
    KERN_spin_lock_lock(&b.lock);
    for (ZorListEntry *e = b.entries.first; e; e = e->next)
      reinterpret_cast<BucketEntry *>(e)->frame = nullptr;
    KERN_spin_lock_unlock(&b.lock);
  }
}

struct FindCtx {
  void *netbuf;
  HostAdapter *found;
};

void find_in_buckets(HostAdapter *adapter, void *ctx) {
  auto *find = static_cast<FindCtx *>(ctx);
  if (!find->found && QUEUE_PacketFromQueue(bucket_of(adapter, find->netbuf), find->netbuf, 0))
    find->found = adapter;
}

}  // namespace

extern "C" {

uint32_t DrvCopyFrame(void *, void *netbuf, void *dst, uint32_t len) {
  if (!netbuf || !dst || len == 0) return 1;
  if (KERN_netbuf_len(netbuf) != len) return 2;
  return KERN_netbuf_getdata(netbuf, dst, len) == 0 ? 0 : 2;
}

uint32_t DrvSetFrameToSend(FilterFrame *frame) {
  if (!extension_data || !frame || !frame->adapter || !frame->adapter->host) return 1;
  auto *node = static_cast<QueueNode *>(KERN_kmalloc(sizeof(QueueNode)));
  if (!node) return 1;
  memset(node, 0, sizeof *node);
  node->frame = frame;
  HostAdapter *adapter = frame->adapter->host;
  KERN_spin_lock_lock(&adapter->sendlock);
  zorInsertTailList(&adapter->sendlist, &node->link);
  if (frame->direction == 0) adapter->to_stack++;
  KERN_spin_lock_unlock(&adapter->sendlock);
  return 0;
}

void DrvFramesSealed(FilterFrame *const *frames, uint32_t count, uint32_t drain) {
  if (!count) return;
  HostAdapter *adapter = frames[0]->adapter->host;
  KERN_spin_lock_lock(&adapter->sendlock);
  for (uint32_t i = 0; i < count; i++) frames[i]->sealing = 0;
  KERN_spin_lock_unlock(&adapter->sendlock);
  if (drain) DRVF_LanSendRecvPacketFromFilterFromQueue(adapter);
}

uint32_t DRVF_ForwardLanPacketToFilter(HostAdapter *adapter, void *netbuf, uint32_t direction,
                                       uint32_t) {
  if (!adapter || !netbuf) return 2;
  uint32_t len = KERN_netbuf_len(netbuf);
  if (!adapter->filter.RecvHandler) return 2;
  return adapter->filter.RecvHandler(&adapter->filter, direction, netbuf, len);
}

uint32_t DRVF_LanSendRecvPacketFromFilterFromQueue(HostAdapter *adapter) {
  if (!adapter || !is_accepted(adapter)) return 1;
  KERN_spin_lock_lock(&adapter->sendlock);
  if (adapter->draining) {
    KERN_spin_lock_unlock(&adapter->sendlock);
    return 0;
  }
  adapter->draining = 1;
  QueueNode *node = take_ready_locked(adapter);
  if (!node) adapter->draining = 0;
  KERN_spin_lock_unlock(&adapter->sendlock);
  // What the list holds is handed over in calls of many frames; what is
  // gathered goes before the drain flag is cleared, so frames keep their order.
  HandOver h;
  h.count = 0;
  h.direction = 0;
  while (node) {
    FilterFrame *frame = node->frame;
    KERN_kfree(node);
    if (frame) stage_frame(adapter, frame, h);
    node = take_ready(adapter);
    if (node) continue;
    hand_over(adapter, h);
    node = next_node_or_finish(adapter);
  }
  return 0;
}

uint32_t QUEUE_ProcessFltQueueForFLT(HostAdapter *adapter) {
  return DRVF_LanSendRecvPacketFromFilterFromQueue(adapter);
}

void QUEUE_ProcessFltQueueForAllFLT(void) { DEVN_ForEachAdapter(drain_one, nullptr); }

void DRVF_SendRecvLanFilterPacketComplete(HostAdapter *adapter, void *netbuf) {
  if (!adapter || !netbuf || !is_accepted(adapter)) return;
  auto *frame =
      static_cast<FilterFrame *>(QUEUE_PacketFromQueue(bucket_of(adapter, netbuf), netbuf, 1));
  if (frame && frame->adapter == &adapter->filter) FilterSendComplete(frame);
}

void DRVF_SendRecvLanFilterPacketCompleteBatch(HostAdapter *adapter, void *const *netbufs,
                                               uint32_t count) {
  if (!adapter || !is_accepted(adapter)) return;
  // Frames are taken from their buckets first, then completed together.
  constexpr uint32_t kAtOnce = 64;
  FilterFrame *frames[kAtOnce];
  for (uint32_t first = 0; first < count; first += kAtOnce) {
    uint32_t n = 0;
    for (uint32_t i = first; i < count && i < first + kAtOnce; i++) {
      if (!netbufs[i]) continue;
      auto *frame = static_cast<FilterFrame *>(
          QUEUE_PacketFromQueue(bucket_of(adapter, netbufs[i]), netbufs[i], 1));
      if (frame && frame->adapter == &adapter->filter) frames[n++] = frame;
    }
    if (!n) continue;
    DrvFilterLock(FLT_LOCK_CORE);
    for (uint32_t i = 0; i < n; i++) FilterSendComplete_nolock(frames[i]);
    DrvFilterUnLock(FLT_LOCK_CORE);
  }
}

uint32_t QUEUE_CalcHash(const void *netbuf) {
  uint64_t p = reinterpret_cast<uintptr_t>(netbuf);
  uint32_t h = static_cast<uint32_t>((p >> 8) ^ p ^ (p >> 16));
  h ^= static_cast<uint32_t>((p >> 24) ^ (p >> 32) ^ (p >> 40));
  return (h >> 3) & 0xFF;
}

BucketEntry *QUEUE_PacketToQueue(CompletionBucket *bucket, void *netbuf, FilterFrame *frame) {
  if (!bucket || !netbuf || !frame) return nullptr;
  auto *entry = static_cast<BucketEntry *>(KERN_kmalloc(sizeof(BucketEntry)));
  if (!entry) return nullptr;
  entry->netbuf = netbuf;
  entry->frame = frame;
  KERN_spin_lock_lock(&bucket->lock);
  zorInsertTailList(&bucket->entries, &entry->link);
  bucket->count++;
  KERN_spin_lock_unlock(&bucket->lock);
  return entry;
}

void *QUEUE_PacketFromQueue(CompletionBucket *bucket, void *netbuf, uint32_t remove) {
  if (!bucket || !netbuf) return nullptr;
  KERN_spin_lock_lock(&bucket->lock);
  BucketEntry *entry = nullptr;
  for (ZorListEntry *e = bucket->entries.first; e; e = e->next) {
    if (reinterpret_cast<BucketEntry *>(e)->netbuf == netbuf) {
      entry = reinterpret_cast<BucketEntry *>(e);
      break;
    }
  }
  if (!entry || !remove) {
    KERN_spin_lock_unlock(&bucket->lock);
    return entry;
  }
  zorRemoveEntryList(&bucket->entries, &entry->link);
  bucket->count--;
  KERN_spin_lock_unlock(&bucket->lock);
  FilterFrame *frame = entry->frame;
  KERN_kfree(entry);
  return frame;
}

HostAdapter *QUEUE_FindPacketInQueueForAllFLT(void *netbuf) {
  FindCtx find = {netbuf, nullptr};
  DEVN_ForEachAdapter(find_in_buckets, &find);
  return find.found;
}

uint64_t QUEUE_CountPendingForAllFLT(void) {
  uint64_t n = 0;
  DEVN_ForEachAdapter(count_pending, &n);
  return n;
}

void QUEUE_ForgetAllFrames(void) { DEVN_ForEachAdapter(forget_frames, nullptr); }

void QUEUE_InitAdapter(HostAdapter *adapter) {
  KERN_spin_lock_init(&adapter->sendlock);
  zorInitializeListHead(&adapter->sendlist);
  adapter->draining = 0;
  adapter->to_stack = 0;
  for (CompletionBucket &b : adapter->buckets) {
    KERN_spin_lock_init(&b.lock);
    zorInitializeListHead(&b.entries);
    b.count = 0;
  }
}

void QUEUE_FreeAdapter(HostAdapter *adapter) {
  // Frames still waiting, or handed over and not completed, go back to the
  // filter now: a completion for a device that is gone finds nothing.
  while (ZorListEntry *e = zorRemoveHeadList(&adapter->sendlist)) {
    FilterSendComplete(reinterpret_cast<QueueNode *>(e)->frame);
    KERN_kfree(e);
  }
  for (CompletionBucket &b : adapter->buckets) {
    while (ZorListEntry *e = zorRemoveHeadList(&b.entries)) {
      FilterSendComplete(reinterpret_cast<BucketEntry *>(e)->frame);
      KERN_kfree(e);
    }
    KERN_spin_lock_free(&b.lock);
  }
  KERN_spin_lock_free(&adapter->sendlock);
}

void *DRVF_BufferToNetPacket(HostAdapter *adapter, const void *data, uint32_t len,
                             uint32_t toNetwork) {
  if (!adapter || !data || !is_accepted(adapter)) return nullptr;
  return KERN_netbuf_alloc(adapter->netdev, data, len, toNetwork != 0);
}

uint32_t DRVF_IsFilterReady(HostAdapter *adapter) {
  return adapter && is_accepted(adapter) ? 1 : 0;
}

int32_t FilterGetCurrentPMSFilter(HostAdapter **out) {
  if (!out) return VPNDEV_BAD_ARGUMENT;
  FilterAdapter *vpn = FilterGetVpnAdapter();
  if (!vpn) return VPNDEV_NO_ADAPTER;
  if (!vpn->host) return VPNDEV_NO_DEVICE;
  *out = vpn->host;
  return 0;
}

int32_t DRVF_GetVpnNetDevice(void **out) {
  if (!out) return VPNDEV_BAD_ARGUMENT;
  HostAdapter *host = nullptr;
  int32_t r = FilterGetCurrentPMSFilter(&host);
  if (r != 0) return r;
  if (!host->netdev) return VPNDEV_NO_DEVICE;
  *out = host->netdev;
  return 0;
}

int32_t DRVF_AddCaptiveBrowserTupple(void) { return VPNDEV_BAD_ARGUMENT; }

void FilterSendComplete(FilterFrame *frame) {
  DrvFilterLock(FLT_LOCK_CORE);
  FilterSendComplete_nolock(frame);
  DrvFilterUnLock(FLT_LOCK_CORE);
}

void FilterSendComplete_nolock(FilterFrame *frame) {
  if (!CLI_FilterStarted || !frame) return;
  if (is_static_sendbuf(frame)) {
    if (reinterpret_cast<uint8_t *>(frame) == updsendbuf)
      updsendbufused = 0;
    else
      auxsendbufused = 0;
    return;
  }
  if (!vmeminfo) return;
  if (frame->direction == 1 && frame->adapter) CLI_MASK_OPEN_DATA(frame->data, frame->length, 1);
  if (!in_handshake_buffer(frame)) {
    MVFree(frame);
    FlowPoolFreed();
  }
}

}  // extern "C"
