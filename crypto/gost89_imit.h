// The GOST 28147-89 imitation MAC: each 8-byte block is XORed into the
// running value, which then goes through the first 16 rounds (key words
// k0..k7 twice, no final exchange of the halves). A last partial block is
// padded with zeros; no data gives the value 0.
#pragma once
#include <stdint.h>

#include "crypto/uz_table.h"

extern "C" {
// Stores the 64-bit value in impref (crypto/magma.h) and returns its bytes
// 0..3 as a little-endian u32.
uint32_t ImPrefix(const UzTable4K *table, const uint32_t key[8], const uint8_t *data, uint32_t len);
}
