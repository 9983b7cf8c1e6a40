// GOST 28147-89 cipher core: substitution tables, the 32-round block
// functions over an expanded table, and CFB encipherment in place.
// Keys are 32 bytes taken as eight 32-bit little-endian words; a block of 8
// bytes is the little-endian 64-bit value whose low half is processed first.
#pragma once
#include <stdint.h>

#include "crypto/uz_table.h"

extern "C" {

// Substitution sources, 8 rows x 16 values, one value per byte, row 0 for the
// least significant 4-bit group. f2009uz_v is id-tc26-gost-28147-param-Z, so
// 28147-89 under it is the Magma block cipher; domuz_v is the test parameter
// set of RFC 4357.
extern const uint8_t f2009uz_v[128];
extern const uint8_t domuz_v[128];

// Their expanded forms. Both hold the expansion from program load on, so the
// pointers below are usable at once; MAKEUZ4K may rebuild them at any time.
extern UzTable4K f2009uz;
extern UzTable4K domuz;

// The table of the random generator's callers (f2009uz) and the table for
// 28147-89 encipherment and its MAC (domuz).
extern UzTable4K *randomizeruz;
extern UzTable4K *bukuz;

// Expands a 128-byte substitution source into its 4096-byte table.
void MAKEUZ4K(UzTable4K *dst, const uint8_t *src);

// One block; in and out may be the same 8 bytes.
void gostcrypt(const UzTable4K *table, const uint32_t key[8], const uint8_t in[8], uint8_t out[8]);
void gostdecrypt(const UzTable4K *table, const uint32_t key[8], const uint8_t in[8], uint8_t out[8]);

// CFB encipherment in place. buf[0..7] is the IV (left as it is), the len - 8
// bytes after it are enciphered; len counts the IV. A last partial block
// takes the first bytes of its keystream block. len of 8 or less does nothing.
void EncipherData8(const UzTable4K *table, const uint32_t key[8], uint8_t *buf, uint32_t len);

}  // extern "C"
