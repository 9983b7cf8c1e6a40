#include "kernel/filter/tunnel_batch.h"

#include "byte_order.h"
#include "crypto/wipe.h"

#include "kernel/filter/deferred_work.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

using zor::tunnel::client;
using zor::tunnel::ClientMagic;

namespace {

// One batch at a time, under lock 0: the frames built, their datagrams and
// the address-table entry each packet counts on.
struct SendBatch {
  FilterFrame *frame[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
  uint32_t stat_entry[GUARD_BATCH_MAX];
  uint32_t count;
} batch;

// Closed batches waiting for a sealer, oldest first: appended under lock 0,
// taken by the sealers (works on the host's workers) without it. Whoever
// closes a batch sees that a sealer is on its way for each whole chunk
// waiting (GUARD_BATCH_MAX datagrams, protected side by side), or for what
// waits when none is out, while fewer than the workers are out; a sealer
// protects the oldest batches that make up one chunk and goes on while any
// wait, so what the hooks close one small batch at a time is protected in
// full chunks while the workers are busy. The send list keeps the frames' order
// whichever sealer ends first.
struct Sealers {
  KERN_spinlock_t lock;
  GuardSealWork *head, *tail;
  uint32_t batches, datagrams;  // waiting
  uint32_t out;                 // sealer works queued or running
  uint32_t coming;   // of those, queued and not yet taking
} sealers;

// Chunks a sealer protects in one run before it queues itself again, so
// that the host reports the completions in between.
constexpr uint32_t kChunksPerRun = 4;

// Batches protected in one chunk: the same adapter, nonce and mode.
bool joins(const GuardSealWork *a, const GuardSealWork *b, uint32_t datagrams) {
  return datagrams + b->count <= GUARD_BATCH_MAX &&
         a->frame[0]->adapter == b->frame[0]->adapter && a->mgm == b->mgm &&
         zor::wire::SameBytes(a->nonce, b->nonce, sizeof a->nonce);
}

// The oldest waiting batches that make one chunk, oldest first; NULL when
// none waits. Sealers' lock held.
GuardSealWork *take_chunk_locked(void) {
  GuardSealWork *first = sealers.head, *last = first;
  if (!first) return nullptr;
  uint32_t datagrams = first->count, taken = 1;
  while (last->next && joins(first, last->next, datagrams)) {
    last = last->next;
    datagrams += last->count;
    taken++;
  }
  sealers.head = last->next;
  if (!sealers.head) sealers.tail = nullptr;
  sealers.batches -= taken;
  sealers.datagrams -= datagrams;
  last->next = nullptr;
  return first;
}

void free_batch(GuardSealWork *w) {
  zor::crypto::wipe(w->key, sizeof w->key);
  KERN_kfree(w);
}

// Protects the chunk's datagrams side by side (batches under equal keys
// share one key), marks them sealed (with `drain`, drains their adapter)
// and frees the chunk's batches.
void seal_chunk(GuardSealWork *chunk, uint32_t drain) {
  GuardDataJob jobs[GUARD_BATCH_MAX];
  FilterFrame *frames[GUARD_BATCH_MAX];
  uint32_t n = 0;
  const uint8_t *key = nullptr;
  for (GuardSealWork *w = chunk; w; w = w->next) {
    if (!key || !zor::wire::SameBytes(key, w->key, sizeof w->key)) key = w->key;
    for (uint32_t i = 0; i < w->count; i++, n++) {
      jobs[n] = w->job[i];
      jobs[n].key = key;
      frames[n] = w->frame[i];
    }
  }
  GuardSealDataBatch(jobs, n, chunk->nonce, chunk->mgm);
  for (uint32_t i = 0; i < n; i++) CalcUdpTcpChkSum(frames[i]->data + ETH_HEADER_LEN);
  DrvFramesSealed(frames, n, drain);
  while (chunk) {
    GuardSealWork *next = chunk->next;
    free_batch(chunk);
    chunk = next;
  }
}

void append_waiting(GuardSealWork *w) {
  w->next = nullptr;
  KERN_spin_lock_lock(&sealers.lock);
  if (sealers.tail)
    sealers.tail->next = w;
  else
    sealers.head = w;
  sealers.tail = w;
  sealers.batches++;
  sealers.datagrams += w->count;
  KERN_spin_lock_unlock(&sealers.lock);
}

GuardSealWork *take_chunk(void) {
  KERN_spin_lock_lock(&sealers.lock);
  GuardSealWork *chunk = take_chunk_locked();
  KERN_spin_lock_unlock(&sealers.lock);
  return chunk;
}

void run_sealer(KERN_work *work);

// A sealer that could not be queued (no memory, a full queue), counted in
// `out` and `coming` until now: the waiting batches are protected here.
void seal_here(KERN_work *work) {
  KERN_kfree(work);
  KERN_spin_lock_lock(&sealers.lock);
  sealers.out--;
  sealers.coming--;
  KERN_spin_lock_unlock(&sealers.lock);
  while (GuardSealWork *chunk = take_chunk()) seal_chunk(chunk, 1);
}

// Queues a sealer, counted in `out` and `coming` already.
void start_sealer(void) {
  auto *work = static_cast<KERN_work *>(KERN_kmalloc(sizeof(KERN_work)));
  if (work) {
    work->fn = run_sealer;
    if (FilterQueueWork(work) == 0) return;
  }
  seal_here(work);
}

// Protects chunks while batches wait, kChunksPerRun a run; then queues
// itself again, or ends when none waits.
void run_sealer(KERN_work *work) {
  KERN_spin_lock_lock(&sealers.lock);
  sealers.coming--;
  for (uint32_t run = 0;; run++) {
    GuardSealWork *chunk = run < kChunksPerRun ? take_chunk_locked() : nullptr;
    if (!chunk) break;
    KERN_spin_lock_unlock(&sealers.lock);
    seal_chunk(chunk, 1);
    KERN_spin_lock_lock(&sealers.lock);
  }
  const bool again = sealers.head != nullptr;
  if (again)
    sealers.coming++;
  else
    sealers.out--;
  KERN_spin_lock_unlock(&sealers.lock);
  if (!again)
    KERN_kfree(work);
  else if (FilterQueueWork(work) != 0)
    seal_here(work);
  FilterWorkDone();
}

// Frames wait in the pool while workers protect them, and so do the frames
// queued behind them. With less than this left a batch is protected at once
// instead, and the stack's reader is stopped from then on (flow_control.h):
// what waits behind the workers' batches keeps room in the pool. A hook never
// waits for room; a frame that finds none is dropped.
constexpr uint32_t kPoolReserve = FLOW_STOP_BELOW;
// A batch of fewer datagram bytes is protected at once: a sealer's wake-up
// costs more than its protection (a few acknowledgements, a ping).
constexpr uint32_t kSealInPlace = 4096;

}  // namespace

extern "C" {

uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[ETH_HEADER_LEN]) {
  if (batch.count == GUARD_BATCH_MAX || (batch.count && GuardSendKeyChanges())) {
    uint32_t v = GuardBatchFlush();
    if (v != VERDICT_TAKEN) return v;
  }
  uint32_t ihl = p->ihl;
  FilterFrame *frame =
      FilterNewFrame(p->ctx, 1, 1, ETH_HEADER_LEN + ihl + UDPH_SIZE + GUARD_DATA_HEAD + p->payload);
  if (!frame) return VERDICT_NOT_HANDLED;
  uint32_t n = batch.count;
  uint8_t *ip = frame->data + ETH_HEADER_LEN;
  uint32_t udplen = GuardBuildSendPack(p, ip, &batch.job[n]);
  // A packet that cannot be wrapped is dropped, never sent in clear.
  if (!udplen) {
    MVFree(frame);
    return VERDICT_TAKEN;
  }
  memcpy(frame->data, link, ETH_HEADER_LEN);
  GuardFillOuterHeadersButSum(ip, ihl, udplen);
  batch.frame[n] = frame;
  batch.stat_entry[n] = p->ctx->stat_entry;
  batch.count = n + 1;
  return VERDICT_TAKEN;
}

uint32_t GuardBatchFlush(void) {
  uint32_t n = batch.count, v = VERDICT_TAKEN, bytes = 0;
  batch.count = 0;
  if (!n) return v;
  GuardSealWork *w = static_cast<GuardSealWork *>(KERN_kmalloc(sizeof(GuardSealWork)));
  if (!w) {
    for (uint32_t i = 0; i < n; i++) MVFree(batch.frame[i]);
    return VERDICT_NOT_HANDLED;
  }
  // The batch keeps what it needs of the session: the next one may change it.
  memcpy(w->key, batch.job[0].key, sizeof w->key);
  memcpy(w->nonce, client.gw_nonce, sizeof w->nonce);
  w->mgm = GuardUsesMgm();
  w->count = 0;
  // Each frame takes its place in the send list now and waits there, marked,
  // until it is protected: whatever is queued after it goes after it.
  for (uint32_t i = 0; i < n; i++) {
    FilterFrame *frame = batch.frame[i];
    frame->sealing = 1;
    if (DrvSetFrameToSend(frame) != 0) {
      MVFree(frame);
      v = VERDICT_NOT_HANDLED;
      continue;
    }
    w->frame[w->count] = frame;
    w->job[w->count] = batch.job[i];
    w->job[w->count].key = w->key;
    bytes += w->job[w->count].len;
    w->count++;
    StatIncOkRecvSend(batch.stat_entry[i]);
  }
  if (KERN_work_workers() == 0 || bytes < kSealInPlace || MVFreeBytes() < kPoolReserve)
    GuardSeal(w, 0);
  else
    append_waiting(w);
  return v;
}

void GuardSeal(GuardSealWork *w, uint32_t drain) {
  w->next = nullptr;
  seal_chunk(w, drain);
}

void GuardHandOff(void) {
  KERN_spin_lock_lock(&sealers.lock);
  // A sealer on its way for each whole chunk waiting, and for what waits
  // when no sealer is out; a sealer that is out takes the rest when it can.
  uint32_t wanted = sealers.datagrams / GUARD_BATCH_MAX;
  if (!wanted && !sealers.out && sealers.batches) wanted = 1;
  const bool more = sealers.coming < wanted && sealers.out < KERN_work_workers();
  if (more) {
    sealers.out++;
    sealers.coming++;
  }
  KERN_spin_lock_unlock(&sealers.lock);
  if (more) start_sealer();
}

void GuardSealersInit(void) {
  memset(&sealers, 0, sizeof sealers);
  KERN_spin_lock_init(&sealers.lock);
}

void GuardSealersFree(void) { KERN_spin_lock_free(&sealers.lock); }

}  // extern "C"
