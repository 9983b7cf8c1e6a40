// Magma (GOST R 34.12-2015, 64-bit blocks), the library's block conventions,
// the last-MAC cell with its two halves, and key wrap.
//
// A block is a 64-bit value, in memory its 8 bytes little-endian; its low half
// is the right half a0 of the standard, its high half the left half a1. A key
// is eight 32-bit words K[0..7], K[i] the round key K(i+1): K[0] holds the
// most significant 32 bits of the standard's key, so a key written in the
// standard's byte order lies in memory with each 4-byte group reversed.
#pragma once
#include <stdint.h>

#include "crypto/uz_table.h"

extern "C" {

// The Magma substitution expanded (read-only) and packed.
extern const UzTable4K MAGMA_sbox_4k;
extern const UzPacked magmauz_cmpr;

// The same expansion built on first use by magma_get_UZ; magma_UZ_inited
// turns 1 once it is built.
extern UzTable4K magmauz;
extern uint32_t magma_UZ_inited;

// The last 64-bit MAC as a little-endian block value, shared by every MAC of
// the library (both ciphers); zero until the first MAC.
extern uint8_t impref[8];

uint64_t magmaencrypt_ni(uint64_t block, const uint32_t key[8]);

// Expands a packed substitution into its 4096-byte table.
void PrepareUz(UzTable4K *dst, const UzPacked *src);
const UzTable4K *magma_get_UZ(void);

// 64-bit Magma MAC of data into impref; returns its high 32 bits.
uint32_t ImPrefixMAGMA(const uint32_t key[8], const uint8_t *data, uint32_t len);
// The low 32 bits of the last MAC computed.
uint32_t ImPrefixMAGMAStoreLO(void);

// Key wrap: MAC over the plain 32 bytes, then the four blocks enciphered in
// place (ECB). Unwrap deciphers, then MACs the plain bytes. Both return the
// MAC's high 32 bits; the caller compares them with the received value.
uint32_t EncipherKeyMAGMA(const uint32_t kek[8], uint8_t key[32]);
uint32_t DecipherKeyMAGMA(const uint32_t kek[8], uint8_t key[32]);

}  // extern "C"
