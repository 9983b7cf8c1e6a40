// The tunnel datagrams cut from one large frame, protected together: each
// is built in a frame of its own, then all are protected side by side
// (GuardSealDataBatch) and queued in their order with their outer headers,
// so the wire carries the same bytes as when each is sent on its own. A
// batch is protected early when it is full or when the next datagram needs
// another packet key (the key buffer is one per direction). Lock 0 held.
#pragma once
#include "kernel/filter/ip_helpers.h"

constexpr uint32_t GUARD_BATCH_MAX = 64;

extern "C" {
// Builds the packet's datagram behind the 14-byte link header `link`:
// VERDICT_TAKEN when it was added (or dropped, as it cannot be wrapped),
// VERDICT_NOT_HANDLED when no frame memory or queue was to be had.
uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[14]);
// Protects and queues what was added: VERDICT_TAKEN, or
// VERDICT_NOT_HANDLED when a frame could not be queued (it is dropped).
uint32_t GuardBatchFlush(void);
}
