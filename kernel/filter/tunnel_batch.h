// Tunnel datagrams protected and opened together.
//
// Sending: the datagrams cut from one large frame, protected together: each
// is built in a frame of its own, then all are protected side by side
// (GuardSealDataBatch) and queued in their order with their outer headers,
// so the wire carries the same bytes as when each is sent on its own. A
// batch is protected early when it is full or when the next datagram needs
// another packet key (the key buffer is one per direction). Lock 0 held.
//
// Receiving: the gateway's data datagrams among frames the host hands over
// together are opened side by side ahead of the packet path, which then takes
// each result instead of opening the datagram itself. A result is taken only
// for the same datagram bytes under the same key, counter, nonce and mode,
// so it is exactly what opening the datagram there would give; anything
// else is opened there as before. Ahead-opening stops at the first tunnel
// datagram that is not data (it may change the keys).
#pragma once
#include "kernel/filter/frame_context.h"
#include "kernel/filter/ip_helpers.h"

constexpr uint32_t GUARD_BATCH_MAX = 64;
constexpr uint32_t GUARD_AHEAD_MAX = 64;     // frames opened ahead at once
constexpr uint32_t GUARD_AHEAD_SLOT = 1600;  // largest datagram opened ahead (MTU 1500 and some)

extern "C" {
// Builds the packet's datagram (of the frame p->ctx) behind the 14-byte link
// header `link`:
// VERDICT_TAKEN when it was added (or dropped, as it cannot be wrapped),
// VERDICT_NOT_HANDLED when no frame memory or queue was to be had.
uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[ETH_HEADER_LEN]);
// Protects and queues what was added: VERDICT_TAKEN, or
// VERDICT_NOT_HANDLED when a frame could not be queued (it is dropped).
uint32_t GuardBatchFlush(const FrameContext *ctx);

// Opens ahead the data datagrams among up to GUARD_AHEAD_MAX host buffers
// from the network, forgetting what was opened before (count 0: only
// forgets); takes lock 0.
void GuardOpenAhead(void *const *netbufs, uint32_t count);
// With lock 0: 1 when d (len bytes, received under key, counter, nonce and
// mode mgm) was opened ahead; d then holds the opened bytes and *ok the
// result. Each result is taken once.
uint32_t GuardTakeOpenedAhead(uint8_t *d, uint32_t len, const uint8_t key[32], uint32_t counter,
                              const uint8_t nonce[8], uint32_t mgm, uint32_t *ok);
}
