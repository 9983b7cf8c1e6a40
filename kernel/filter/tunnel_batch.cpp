#include "kernel/filter/tunnel_batch.h"

#include "byte_order.h"
#include "crypto/wipe.h"

#include "kernel/filter/filter_core.h"
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

// One batch at a time, under lock 0: the frames built, their datagrams.
struct SendBatch {
  FilterFrame *frame[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
  uint32_t count;
} batch;

// Frames wait in the pool while workers protect them. The reader waits for
// the workers when less than this is left: enough for the datagrams of the
// largest frame, so none finds the pool empty.
constexpr uint32_t kPoolReserve = FLT_POOL_ARENA_SIZE / 4;

// The wait for room (GuardLeaveRoom): one thread at a time waits for it
// (room_owner, under lock 0), the others wait for the workers to be done.
// The waiter sets room_wanted before it looks; whoever clears it signals
// `room` once: the completion of frames that gave the room back, or the
// last batch leaving the workers (then only the workers' end gives more).
uint32_t works_in_flight;  // batches handed to the workers, not yet sent
uint32_t room_wanted;
uint32_t room_owner;
KERN_completion_t room;

bool take_room_wanted() { return __atomic_exchange_n(&room_wanted, 0, __ATOMIC_SEQ_CST) != 0; }

// Lock 0 held, released while waiting.
void wait_for_room() {
  for (;;) {
    __atomic_store_n(&room_wanted, 1, __ATOMIC_SEQ_CST);
    if (MVFreeBytes() >= kPoolReserve || !__atomic_load_n(&works_in_flight, __ATOMIC_SEQ_CST))
      break;
    DrvFilterUnLock(FLT_LOCK_CORE);
    KERN_wait_for_completion(&room);
    DrvFilterLock(FLT_LOCK_CORE);
  }
  // A worker that took the flag meanwhile signals without lock 0: its
  // signal is taken here, so none is left for the next wait.
  if (!take_room_wanted()) KERN_wait_for_completion(&room);
}

void flush_workers() {
  DrvFilterUnLock(FLT_LOCK_CORE);
  KERN_work_flush();
  DrvFilterLock(FLT_LOCK_CORE);
}

}  // namespace

extern "C" {

uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[ETH_HEADER_LEN]) {
  if (batch.count == GUARD_BATCH_MAX || (batch.count && GuardSendKeyChanges())) {
    uint32_t v = GuardBatchFlush(p->ctx);
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
  batch.count = n + 1;
  return VERDICT_TAKEN;
}

uint32_t GuardBatchFlush(FrameContext *ctx) {
  uint32_t n = batch.count, v = VERDICT_TAKEN;
  batch.count = 0;
  if (!n) return v;
  GuardSealWork *w = static_cast<GuardSealWork *>(KERN_kmalloc(sizeof(GuardSealWork)));
  if (!w) {
    for (uint32_t i = 0; i < n; i++) MVFree(batch.frame[i]);
    return VERDICT_NOT_HANDLED;
  }
  // The work keeps what it needs of the session: the next batch may change it.
  w->work.fn = GuardSealAndSend;
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
    StatIncOkRecvSend(ctx->stat_entry);
  }
  if (KERN_work_workers() == 0 || !w->count) {
    GuardSeal(w, 0);
  } else {
    __atomic_add_fetch(&works_in_flight, 1, __ATOMIC_SEQ_CST);
    w->next = ctx->to_hand_off;
    ctx->to_hand_off = w;
  }
  return v;
}

void GuardSeal(GuardSealWork *w, uint32_t drain) {
  GuardSealDataBatch(w->job, w->count, w->nonce, w->mgm);
  for (uint32_t i = 0; i < w->count; i++) CalcUdpTcpChkSum(w->frame[i]->data + ETH_HEADER_LEN);
  DrvFramesSealed(w->frame, w->count, drain);
  zor::crypto::wipe(w->key, sizeof w->key);
  KERN_kfree(w);
}

void GuardSealAndSend(KERN_work *work) {
  GuardSeal(reinterpret_cast<GuardSealWork *>(work), 1);
  if (__atomic_sub_fetch(&works_in_flight, 1, __ATOMIC_SEQ_CST) == 0 && take_room_wanted())
    KERN_complete(&room);
}

void GuardHandOff(GuardSealWork *works) {
  // Built last first: handed over in the order they were built.
  GuardSealWork *ordered = nullptr;
  while (works) {
    GuardSealWork *next = works->next;
    works->next = ordered;
    ordered = works;
    works = next;
  }
  while (ordered) {
    GuardSealWork *next = ordered->next;
    KERN_work_queue(&ordered->work);
    ordered = next;
  }
}

void GuardLeaveRoom(void) {
  if (KERN_work_workers() == 0 || MVFreeBytes() >= kPoolReserve) return;
  if (room_owner) {
    flush_workers();
    return;
  }
  room_owner = 1;
  wait_for_room();
  // Still short with no batch on the workers: their completions come once
  // the workers are done.
  if (MVFreeBytes() < kPoolReserve) flush_workers();
  room_owner = 0;
}

void GuardRoomFreed(void) {
  if (__atomic_load_n(&room_wanted, __ATOMIC_SEQ_CST) && MVFreeBytes() >= kPoolReserve &&
      take_room_wanted())
    KERN_complete(&room);
}

void GuardRoomInit(void) {
  KERN_completion_init(&room);
  works_in_flight = room_wanted = room_owner = 0;
}

void GuardRoomFree(void) { KERN_completion_free(&room); }

}  // extern "C"
