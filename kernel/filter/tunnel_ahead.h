// The gateway's data datagrams among frames the host hands over together,
// opened side by side ahead of the packet path, which then takes each
// result instead of opening the datagram itself.
//
// Under lock 0 the frames are copied once into the adapter's ahead set and
// looked at: a data datagram of the session gets the receive packet key of
// its counter (a copy, one per key index) and the nonce. Lock 0 is then let
// go and the datagrams are opened in parts: the first in the caller, the
// others on the host's workers, while the caller takes the first part's
// frames down the packet path; before a frame of a later part goes, the
// caller waits for that part (KERN_completion_t). A result is
// taken only for the same host buffer under the same key, counter, nonce and
// mode, so it is exactly what opening the datagram there would give;
// anything else is opened there as before. Ahead-opening stops at the first
// tunnel datagram that is not data (it may change the keys).
#pragma once
#include "kernel/filter/adapters.h"
#include "kernel/filter/frame_context.h"

constexpr uint32_t GUARD_AHEAD_MAX = 256;    // frames opened ahead at once
constexpr uint32_t GUARD_AHEAD_SLOT = 1600;  // largest datagram opened ahead (MTU 1500 and some)

struct GuardAheadSet;

extern "C" {
// Opens ahead the data datagrams among up to GUARD_AHEAD_MAX host buffers
// from the network of one adapter, forgetting what was opened before for it
// (count 0: only forgets, once every part is done). One such batch at a time
// per adapter. Takes lock 0; no lock held.
void GuardOpenAhead(HostAdapter *adapter, void *const *netbufs, uint32_t count);
// Before the batch's frame at `index` goes down the packet path: waits for
// the part that opens it. No lock held.
void GuardAwaitAhead(HostAdapter *adapter, uint32_t index);
// With lock 0: 1 when d (len bytes of the frame ctx->netbuf, received under
// key, counter, nonce and mode mgm) was opened ahead; d then holds the opened
// bytes and *ok the result. Each result is taken once.
uint32_t GuardTakeOpenedAhead(const FrameContext *ctx, uint8_t *d, uint32_t len,
                              const uint8_t key[32], uint32_t counter, const uint8_t nonce[8],
                              uint32_t mgm, uint32_t *ok);
// Frees the adapter's ahead set (the adapter is going).
void GuardFreeAhead(HostAdapter *adapter);
}
