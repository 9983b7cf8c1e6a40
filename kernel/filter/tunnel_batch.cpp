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

// One batch at a time, under lock 0: the frames built, their datagrams.
struct SendBatch {
  FilterFrame *frame[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
  uint32_t count;
} batch;

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
  if (KERN_work_workers() == 0 || !w->count || MVFreeBytes() < kPoolReserve) {
    GuardSeal(w, 0);
  } else {
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
  FilterWorkDone();
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
    // A full queue: protected here; its frames keep their place in the list.
    if (FilterQueueWork(&ordered->work) != 0) GuardSeal(ordered, 1);
    ordered = next;
  }
}

}  // extern "C"
