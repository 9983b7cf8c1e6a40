// The receive master keys a session took (the handshake's and each key
// change's of the gateway), so that a key change bringing one of them back
// is known for a replay: taken, it would put the earlier key back and reset
// the replay window, which reopens that key's datagrams. The generation
// byte cannot tell: it is one byte, and nothing says how the gateway numbers
// it. State is passed explicitly; the caller keeps it under lock 0.
//
// A master is known by a fingerprint: the first 8 bytes of its Streebog-256
// digest. It is one-way, so the store holds nothing of the masters
// themselves. Only the master of a key change whose imitation verified is
// looked up, so nobody without the gateway's control key brings a value to
// match; two of the gateway's random masters share a fingerprint with a
// chance of about 2^-44 per key change against a full store.
//
// Every master stays known for the whole session: forgetting the oldest
// would let a key change captured long enough ago be taken again. The
// fingerprints are an open-addressing set (linear probing, at most half
// full, so a look-up stays a few probes at any count). The first
// MASTER_INLINE_SLOTS / 2 masters fit in the record itself; past them the
// set moves to the host's memory (KERN_kmalloc, which does not sleep) and
// doubles there as it fills: a growth moves every fingerprint once, under
// the lock, in the key change that needs it (the last, at half a million
// masters, milliseconds).
//
// Bound: MASTER_MAX_HELD masters (16 MiB of slots). The client changes its
// own key every 512 MiB it sends; a gateway with the same rule reaches the
// bound after 512 TiB, about 50 days at a steady 1 Gbit/s. A new master that finds no room,
// at the bound or when the host gives no memory, is MASTER_NO_ROOM: the
// caller ends the session (its keys and this store go) and the service
// reconnects, rather than the store forgetting one.
#pragma once
#include "kern_host.h"

constexpr uint32_t MASTER_FINGERPRINT_LEN = 8;
constexpr uint32_t MASTER_INLINE_SLOTS = 64;
constexpr uint32_t MASTER_MAX_HELD = 1u << 20;
static_assert(MASTER_FINGERPRINT_LEN == sizeof(uint64_t), "a fingerprint fills a slot");

struct MasterRing {
  uint64_t *table;  // the host's memory of `slots` slots; null: the inline ones
  uint32_t slots;   // of table (a power of two), 0 while inline
  uint32_t held;    // fingerprints held
  uint64_t inline_slot[MASTER_INLINE_SLOTS];  // 0 is an empty slot
};

// What MasterRingTake found.
enum MasterTake : uint32_t {
  MASTER_KNOWN = 0,    // taken before in this session
  MASTER_TAKEN = 1,    // new, and now held
  MASTER_NO_ROOM = 2,  // new, but not held: the bound, or no memory
};

extern "C" {
// Forgets every master: wipes the set and gives its memory back.
void MasterRingReset(MasterRing *r);
// Looks up the 32-byte master and takes it when it is new (MasterTake).
uint32_t MasterRingTake(MasterRing *r, const uint8_t *master);
}
