// The receive master keys a session took (the handshake's and each key
// change's of the gateway), so that a key change bringing one of them back
// is known for a replay: taken, it would put the earlier key back and reset
// the replay window, which reopens that key's datagrams. The generation
// byte cannot tell: it is one byte, and nothing says how the gateway numbers
// it. State is passed explicitly; the caller keeps it under lock 0.
//
// A master is known by a fingerprint: the first 8 bytes of its Streebog-256
// digest. It is one-way, so the ring holds nothing of the masters it
// outlives. Only the master of a key change whose imitation verified is
// looked up, so nobody without the gateway's control key brings a value to
// match; two of the gateway's random masters share a fingerprint with a
// chance of about 2^-58 per key change against a full ring.
// The ring keeps the 64 most recent masters: the newest is always the
// current receive master, and a full ring drops its oldest, as refusing a
// genuine new key would end the tunnel. A key change sent again after 64
// later ones of the same session is no longer known.
#pragma once
#include "kern_host.h"

constexpr uint32_t MASTER_RING_SIZE = 64;
constexpr uint32_t MASTER_FINGERPRINT_LEN = 8;

struct MasterRing {
  uint8_t fingerprint[MASTER_RING_SIZE][MASTER_FINGERPRINT_LEN];
  uint32_t held;  // fingerprints held, at most MASTER_RING_SIZE
  uint32_t next;  // the slot the next one goes to
};

extern "C" {
// Forgets every master (wipes the ring).
void MasterRingReset(MasterRing *r);
// 1 when the 32-byte master is not in the ring, which takes it; else 0.
uint32_t MasterRingTake(MasterRing *r, const uint8_t *master);
}
