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

// Closed batches waiting for a sealer, newest first: pushed under lock 0,
// taken by the sealers (works on the host's workers) without it. A sealer
// protects the oldest batches that make up one chunk (GUARD_BATCH_MAX
// datagrams side by side) and puts the rest back, so what the hooks close
// one small batch at a time is protected in chunks while the workers are
// busy. The send list keeps the frames' order whichever sealer ends first.
GuardSealWork *pending;
uint32_t pending_datagrams;  // in the pending batches (a hint for the arming)
uint32_t sealers;            // sealer works queued or running

GuardSealWork *reversed(GuardSealWork *list) {
  GuardSealWork *out = nullptr;
  while (list) {
    GuardSealWork *next = list->next;
    list->next = out;
    out = list;
    list = next;
  }
  return out;
}

// Puts a chain (newest first, `oldest` its last) on the pending stack.
void push_chain(GuardSealWork *newest, GuardSealWork *oldest, uint32_t datagrams) {
  __atomic_add_fetch(&pending_datagrams, datagrams, __ATOMIC_RELAXED);
  GuardSealWork *head = __atomic_load_n(&pending, __ATOMIC_ACQUIRE);
  do oldest->next = head;
  while (!__atomic_compare_exchange_n(&pending, &head, newest, true, __ATOMIC_SEQ_CST,
                                      __ATOMIC_ACQUIRE));
}

// Batches protected in one chunk: the same adapter, nonce and mode.
bool joins(const GuardSealWork *a, const GuardSealWork *b, uint32_t datagrams) {
  return datagrams + b->count <= GUARD_BATCH_MAX &&
         a->frame[0]->adapter == b->frame[0]->adapter && a->mgm == b->mgm &&
         zor::wire::SameBytes(a->nonce, b->nonce, sizeof a->nonce);
}

// The oldest pending batches that make one chunk, oldest first (NULL when
// none is pending); the rest go back.
GuardSealWork *take_chunk(void) {
  GuardSealWork *first = reversed(__atomic_exchange_n(&pending, nullptr, __ATOMIC_SEQ_CST));
  if (!first) return nullptr;
  GuardSealWork *last = first;
  uint32_t datagrams = first->count, rest_datagrams = 0;
  while (last->next && joins(first, last->next, datagrams)) {
    last = last->next;
    datagrams += last->count;
  }
  GuardSealWork *rest = last->next;
  last->next = nullptr;
  __atomic_sub_fetch(&pending_datagrams, datagrams, __ATOMIC_RELAXED);
  if (rest) {
    for (GuardSealWork *w = rest; w; w = w->next) rest_datagrams += w->count;
    __atomic_sub_fetch(&pending_datagrams, rest_datagrams, __ATOMIC_RELAXED);
    push_chain(reversed(rest), rest, rest_datagrams);
  }
  return first;
}

void free_batch(GuardSealWork *w) {
  zor::crypto::wipe(w->key, sizeof w->key);
  KERN_kfree(w);
}

// Protects the chunk's datagrams side by side (batches under equal keys
// share one key), then drains their adapter.
void seal_chunk(GuardSealWork *chunk) {
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
  DrvFramesSealed(frames, n, 1);
  while (chunk) {
    GuardSealWork *next = chunk->next;
    free_batch(chunk);
    chunk = next;
  }
}

// Without a worker to take them: every pending batch protected here.
void seal_pending_here(void) {
  while (GuardSealWork *chunk = take_chunk()) seal_chunk(chunk);
}

void run_sealer(KERN_work *work);

// One more sealer, while fewer than `most` are queued or running.
void arm_sealer(uint32_t most) {
  uint32_t n = __atomic_load_n(&sealers, __ATOMIC_SEQ_CST);
  do
    if (n >= most) return;
  while (!__atomic_compare_exchange_n(&sealers, &n, n + 1, true, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST));
  auto *work = static_cast<KERN_work *>(KERN_kmalloc(sizeof(KERN_work)));
  if (work) {
    work->fn = run_sealer;
    if (FilterQueueWork(work) == 0) return;
    KERN_kfree(work);
  }
  // A full queue or no memory: protected here; the frames keep their place.
  __atomic_sub_fetch(&sealers, 1, __ATOMIC_SEQ_CST);
  seal_pending_here();
}

// A sealer protects one chunk a run and queues itself again while batches
// are pending, so that the host reports the completions between chunks.
void run_sealer(KERN_work *work) {
  for (;;) {
    if (GuardSealWork *chunk = take_chunk()) seal_chunk(chunk);
    if (!__atomic_load_n(&pending, __ATOMIC_SEQ_CST)) break;
    if (FilterQueueWork(work) == 0) {
      FilterWorkDone();
      return;
    }
  }
  KERN_kfree(work);
  __atomic_sub_fetch(&sealers, 1, __ATOMIC_SEQ_CST);
  // A batch pushed after the look above finds this sealer gone.
  if (__atomic_load_n(&pending, __ATOMIC_SEQ_CST)) arm_sealer(1);
  FilterWorkDone();
}

// Frames wait in the pool while workers protect them, and so do the frames
// queued behind them. With less than this left a batch is protected at once
// instead, and the stack's reader is stopped from then on (flow_control.h):
// what waits behind the workers' batches keeps room in the pool. A hook never
// waits for room; a frame that finds none is dropped.
constexpr uint32_t kPoolReserve = FLOW_STOP_BELOW;

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
  uint32_t n = batch.count, v = VERDICT_TAKEN;
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
    w->count++;
    StatIncOkRecvSend(batch.stat_entry[i]);
  }
  if (KERN_work_workers() == 0 || !w->count || MVFreeBytes() < kPoolReserve)
    GuardSeal(w, 0);
  else
    push_chain(w, w, w->count);
  return v;
}

void GuardSeal(GuardSealWork *w, uint32_t drain) {
  GuardSealDataBatch(w->job, w->count, w->nonce, w->mgm);
  for (uint32_t i = 0; i < w->count; i++) CalcUdpTcpChkSum(w->frame[i]->data + ETH_HEADER_LEN);
  DrvFramesSealed(w->frame, w->count, drain);
  free_batch(w);
}

void GuardHandOff(void) {
  if (!__atomic_load_n(&pending, __ATOMIC_SEQ_CST)) return;
  // One sealer while the batches fit a chunk; one more a chunk beyond.
  const uint32_t chunks = __atomic_load_n(&pending_datagrams, __ATOMIC_RELAXED) / GUARD_BATCH_MAX;
  const uint32_t workers = KERN_work_workers();
  arm_sealer(chunks + 1 < workers ? chunks + 1 : workers);
}

}  // extern "C"
