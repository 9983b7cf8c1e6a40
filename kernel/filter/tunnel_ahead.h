// Frames from the network: the gateway's data datagrams among them opened
// side by side ahead of the packet path, which then takes each result
// instead of opening the datagram itself, and, with the host's workers, the
// hand-off that lets the receive hooks return at once.
//
// Without workers (and for a call with fewer than GUARD_AHEAD_PART_MIN
// frames left while nothing is outstanding) the frames are looked at under
// lock 0: a data datagram of the session is copied with the receive packet
// key of its counter and the nonce, the copies are opened in the caller, and
// each frame then goes down the packet path from the host's buffer with its
// verdict. A result is taken only under the same key, counter, nonce and
// mode, so it is exactly what opening the datagram there would give;
// anything else is opened there as before.
//
// With workers the hook never waits for them. The hand-off:
// - Frames ahead of the first data datagram of the session, while nothing of
//   the adapter is outstanding, go down the packet path at once with their
//   own verdicts.
// - From that datagram on every frame of the call, and of later calls until
//   all of it is delivered, is copied into parts of up to GUARD_AHEAD_PART
//   frames of the adapter's train (the host's buffer stays the host's), in
//   the order the host handed them over; their verdict is "taken". Control
//   datagrams and frames that are not the tunnel's are copied too: nothing
//   overtakes a tunnel result, nor is overtaken by one.
// - Each part goes to a worker, which opens its data datagrams and marks it
//   done. Whichever thread marks the oldest outstanding part done delivers
//   it and the done ones behind it: each frame goes down the packet path from
//   its copy, in order, with its result; one thread delivers at a time, and
//   after a few parts hands the rest to a work of its own. A
//   copied frame the packet path lets through (pass, not handled) is queued
//   up to the local stack, in order with the tunnel's results.
// - A full work queue: the hook opens the part itself and delivers what is
//   done. A train without a free part, or no memory for a large frame: the
//   frame is dropped and counted as a receive error, as a full device ring
//   drops.
// Unbinding the adapter waits for its works (KERN_work_flush) before the
// train goes.
#pragma once
#include "kernel/filter/adapters.h"
#include "kernel/filter/frame_context.h"

constexpr uint32_t GUARD_AHEAD_PART = 64;      // frames of a part
constexpr uint32_t GUARD_AHEAD_PART_MIN = 16;  // fewer frames are opened in the caller
constexpr uint32_t GUARD_AHEAD_SLOT = 1600;    // largest datagram opened ahead (MTU 1500 and some)

// A data datagram opened ahead: the packet path takes it for the frame.
struct GuardOpened {
  const uint8_t *d;  // the opened bytes
  uint32_t len, counter, mgm, ok;
  const uint8_t *key, *nonce;
};

struct GuardAheadTrain;

extern "C" {
// `count` host buffers from the network of one bound adapter in their
// order: verdicts[i] for netbufs[i] as described above. One call at a time
// per adapter; no lock held.
void GuardReceiveFrames(HostAdapter *adapter, void *const *netbufs, uint32_t count,
                        uint32_t *verdicts);
// With lock 0, in the packet path's treatment of the data datagram d (len
// bytes, received under key, counter, nonce and mode mgm): 1 when the frame
// came with it opened ahead; d then holds the opened bytes and *ok the
// result.
uint32_t GuardTakeOpenedAhead(const FrameContext *ctx, uint8_t *d, uint32_t len,
                              const uint8_t key[32], uint32_t counter, const uint8_t nonce[8],
                              uint32_t mgm, uint32_t *ok);
// Frees the adapter's train (the adapter is going; its works have run).
void GuardFreeAhead(HostAdapter *adapter);
}
