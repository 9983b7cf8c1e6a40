#include "kernel/filter/tunnel_batch.h"

#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_data.h"

using zor::tunnel::client;

namespace {

constexpr uint32_t kLinkLen = 14;

struct Pending {
  FilterFrame *frame;
  uint32_t ihl, udplen;
};

// One batch at a time, under lock 0.
struct SendBatch {
  Pending item[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
  uint32_t count;
} batch;

}  // namespace

extern "C" {

uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[14]) {
  if (batch.count == GUARD_BATCH_MAX || (batch.count && GuardSendKeyChanges())) {
    uint32_t v = GuardBatchFlush();
    if (v != VERDICT_TAKEN) return v;
  }
  uint32_t ihl = p->ihl;
  FilterFrame *frame = FilterNewFrame(1, 1, kLinkLen + ihl + 8 + GUARD_DATA_HEAD + p->payload);
  if (!frame) return VERDICT_NOT_HANDLED;
  uint32_t n = batch.count;
  uint32_t udplen = GuardBuildSendPack(p, frame->data + kLinkLen, &batch.job[n]);
  // A packet that cannot be wrapped is dropped, never sent in clear.
  if (!udplen) {
    MVFree(frame);
    return VERDICT_TAKEN;
  }
  memcpy(frame->data, link, kLinkLen);
  batch.item[n] = {frame, ihl, udplen};
  batch.count = n + 1;
  return VERDICT_TAKEN;
}

uint32_t GuardBatchFlush(void) {
  uint32_t n = batch.count, v = VERDICT_TAKEN;
  batch.count = 0;
  if (!n) return v;
  GuardSealDataBatch(batch.job, n, client.gw_nonce, GuardUsesMgm());
  for (uint32_t i = 0; i < n; i++) {
    Pending &it = batch.item[i];
    GuardFillOuterHeaders(it.frame->data + kLinkLen, it.ihl, it.udplen);
    if (DrvSetFrameToSend(it.frame) != 0) {
      MVFree(it.frame);
      v = VERDICT_NOT_HANDLED;
      continue;
    }
    StatIncOkRecvSend();
  }
  return v;
}

}  // extern "C"
