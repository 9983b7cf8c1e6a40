// Tunnel datagrams protected together: the datagrams cut from one large
// frame. Under lock 0 each is built in a frame of its own with everything
// that needs the session (counter, key index, nonce, outer headers but the
// UDP checksum);
// the frames take their places in the send list, marked as being sealed, so
// nothing queued later overtakes them. The protection (GuardSealDataBatch)
// and the UDP checksums then run on a host worker (a GuardSealWork handed
// off once lock 0 is released); at once when the host has no workers, its
// queue is full or the pool runs short. Whoever protects a batch drains the
// adapter: the batch and the finished ones behind it leave, in the list's
// order. Either way the wire carries the same bytes as when each datagram is
// sent on its own, and nothing waits. A batch is closed early when it is full or when the next
// datagram needs another packet key.
#pragma once
#include "kernel/filter/frame_context.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/tunnel_crypto.h"

struct FilterFrame;

constexpr uint32_t GUARD_BATCH_MAX = 64;

// A closed batch on its way to a worker: its frames, their datagrams and a
// copy of the session values they are protected with.
struct GuardSealWork {
  KERN_work work;  // first: the host hands this back
  GuardSealWork *next;
  uint32_t count, mgm;
  uint8_t key[32], nonce[8];
  FilterFrame *frame[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
};

extern "C" {
// Builds the packet's datagram (of the frame p->ctx) behind the 14-byte link
// header `link`:
// VERDICT_TAKEN when it was added (or dropped, as it cannot be wrapped),
// VERDICT_NOT_HANDLED when no frame memory or queue was to be had.
uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[ETH_HEADER_LEN]);
// Queues what was added and closes the batch: protected at once without
// workers or with the pool short, else left on ctx->to_hand_off. VERDICT_TAKEN, or
// VERDICT_NOT_HANDLED when a frame could not be queued (it is dropped).
uint32_t GuardBatchFlush(FrameContext *ctx);
// Protects a closed batch, marks its frames sealed (with `drain`, drains
// their adapter) and frees the work. No lock held, or lock 0 without drain.
void GuardSeal(GuardSealWork *w, uint32_t drain);
// The workers' function: GuardSeal with the drain.
void GuardSealAndSend(KERN_work *work);
// Hands closed batches to the host's workers (a batch the queue refuses is
// protected here and its adapter drained); no lock held.
void GuardHandOff(GuardSealWork *works);
}
