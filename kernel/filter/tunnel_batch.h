// Tunnel datagrams protected together: the datagrams cut from one large
// frame, and those of every packet for the tunnel in one call of the host
// with many frames (or in any call while the host has workers). Under lock 0
// each is built in a frame of its own with everything that needs the session
// (counter, key index, nonce, outer headers but the UDP checksum). The batch
// is closed before lock 0 is released, when it is full, when the next
// datagram needs another packet key, and before any other frame is queued to
// the network: its frames then take their places in the send list, marked as
// being sealed, so nothing queued later overtakes them. The protection
// (GuardSealDataBatch, whose MAC and OFB chains run side by side) and the UDP
// checksums then run on a host worker: the closed batch (a GuardSealWork)
// waits for a sealer, which takes the oldest waiting batches a chunk of
// GUARD_BATCH_MAX datagrams at a time. A batch is protected at once when the
// host has no workers or its queue is full, when it holds fewer than a few
// KiB, or while the pool runs short. Whoever protects a batch drains the
// adapter: the batch and the finished ones behind it leave, in the list's
// order. Either way the wire carries the same bytes as when each datagram is
// sent on its own, and nothing waits.
#pragma once
#include "kernel/filter/frame_context.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/tunnel_crypto.h"

struct FilterFrame;

constexpr uint32_t GUARD_BATCH_MAX = 64;

// A closed batch on its way to a sealer: its frames, their datagrams and a
// copy of the session values they are protected with.
struct GuardSealWork {
  GuardSealWork *next;
  uint32_t count, mgm;
  uint8_t key[32], nonce[8];
  FilterFrame *frame[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
};

extern "C" {
// Builds the packet's datagram (of the frame p->ctx) behind the 14-byte link
// header `link` into the open batch, lock 0 held:
// VERDICT_TAKEN when it was added (or dropped, as it cannot be wrapped),
// VERDICT_NOT_HANDLED when no frame memory or queue was to be had.
uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[ETH_HEADER_LEN]);
// Queues what was added and closes the batch, lock 0 held: protected at once
// without workers or with the pool short, else kept for GuardHandOff.
// VERDICT_TAKEN, or VERDICT_NOT_HANDLED when a frame could not be queued (it
// is dropped). Nothing to do when the batch is empty.
uint32_t GuardBatchFlush(void);
// Protects a closed batch, marks its frames sealed (with `drain`, drains
// their adapter) and frees it. No lock held, or lock 0 without drain.
void GuardSeal(GuardSealWork *w, uint32_t drain);
// Sees that a sealer on the host's workers is on its way for each whole
// chunk waiting, or for what waits when none is out, while fewer than the
// workers are out (a full queue: they are
// protected here and their adapter drained); no lock held. Whoever closed a
// batch calls it after releasing lock 0.
void GuardHandOff(void);
// The sealers' lock, made with the module's locks and freed with them.
void GuardSealersInit(void);
void GuardSealersFree(void);
}
