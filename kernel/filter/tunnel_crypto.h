// The protection of the tunnel's datagrams, shared by the filter and the
// gateway simulator: packet keys, data (type 14) and out-of-band (type 11)
// datagrams in both modes, and the key-change and acknowledgement packets
// (types 7, 8). Keys are 32 bytes, taken as eight little-endian words.
//
// Data datagram, MGM: bytes 18.. enciphered; associated data bytes 4..17
// with 14..17 zero; the 64-bit tag's low half at 0 (word B), high half at
// 14 (word A). MAC + OFB: the imitation over bytes 4.. with 14..17 zero
// gives word A (high half, at 14) and word B (low half, at 0); bytes 14..
// are enciphered with OFB, IV (counter ^ B, B).
// Out-of-band datagram of n data bytes: word B at 19 + n, word A at 23 + n.
// MGM: the data enciphered, bytes 0..18 associated (with code bit 0x4000:
// bytes 0..18+n associated, nothing enciphered). MAC + OFB: the imitation
// over bytes 0..18+n; the n + 4 bytes from 19 (data and word B) enciphered
// with IV (counter ^ A, A) unless code bit 0x4000 is set. Word A stays in
// clear: the OFB pass covers exactly those n + 4 bytes, so it never reaches
// word A whatever n is, and both sides read and write A outside the pass.
// MGM nonce: the counter, zero-extended, XOR the 8 nonce bytes given.
// Types 7 and 8: the imitation over bytes 4..end (field zero) in the last
// four bytes, then bytes 4..end enciphered with OFB whose IV is bytes 4..11
// (type, variant, 0, session id): those stay in clear for the receiver's
// dispatch and session check, bytes 12..end are enciphered.
#pragma once
#include <stdint.h>

// A data datagram of a batch: d, len, key and counter as GuardSealData and
// GuardOpenData take them; ok gets GuardOpenData's result.
struct GuardDataJob {
  uint8_t *d;
  uint32_t len;
  uint32_t counter;
  const uint8_t *key;
  uint32_t ok;
};

extern "C" {

uint32_t GuardKeyIndex(uint32_t counter);
// What a datagram of len bytes moves the send counter on by: its length in
// 16-byte units, rounded up.
constexpr uint32_t GUARD_COUNTER_UNIT = 16;
inline uint32_t GuardCounterSpan(uint32_t len) {
  return (len + GUARD_COUNTER_UNIT - 1) / GUARD_COUNTER_UNIT;
}
// The packet key of a key index: base enciphered under master.
void GuardPacketKey(const uint8_t master[32], const uint8_t base[32], uint32_t index,
                    uint8_t out[32]);

void GuardSealData(uint8_t *d, uint32_t len, const uint8_t key[32], uint32_t counter,
                   const uint8_t nonce[8], uint32_t mgm);
// 1 when both authentication words verify (the body is then deciphered).
uint32_t GuardOpenData(uint8_t *d, uint32_t len, const uint8_t key[32], uint32_t counter,
                       const uint8_t nonce[8], uint32_t mgm);

// Many data datagrams of one direction (one nonce), the same bytes as one
// by one. In MAC + OFB mode their MAC and OFB chains run side by side. They
// touch no state of the library (not the last-MAC cell either), so several
// threads may run them at once.
void GuardSealDataBatch(GuardDataJob *jobs, uint32_t n, const uint8_t nonce[8], uint32_t mgm);
void GuardOpenDataBatch(GuardDataJob *jobs, uint32_t n, const uint8_t nonce[8], uint32_t mgm);

void GuardSealOob(uint8_t *d, uint32_t n, const uint8_t key[32], uint32_t counter,
                  const uint8_t nonce[8], uint32_t mgm);
uint32_t GuardOpenOob(uint8_t *d, uint32_t n, const uint8_t key[32], uint32_t counter,
                      const uint8_t nonce[8], uint32_t mgm);

void GuardSealControl(uint8_t *d, uint32_t len, const uint8_t key[32]);
// Deciphers; 1 when the imitation verifies.
uint32_t GuardOpenControl(uint8_t *d, uint32_t len, const uint8_t key[32]);
}
