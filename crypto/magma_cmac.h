// Magma CMAC (the MAC of GOST R 34.13-2015, n = 64, constant 0x1B). The
// result is the whole 64-bit value; truncation is the caller's.
#pragma once
#include <stdint.h>

extern "C" {

// Native blocks (little-endian values); out gets the MAC as a little-endian
// block value. An empty message (or null data) is the single padded block
// with only its top bit set.
void magma_cmac(const uint32_t key[8], const uint8_t *data, uint32_t len, uint8_t out[8]);

// The standard's byte order: blocks big-endian, out the MAC big-endian; the
// result is out read as a little-endian value. The key is eight native words
// (_keylsb) or 32 bytes in the standard's order.
uint64_t magma_cmac_msb_keylsb(const uint32_t key[8], const uint8_t *data, uint32_t len,
                               uint8_t out[8]);
uint64_t magma_cmac_msb(const uint8_t key[32], const uint8_t *data, uint32_t len, uint8_t out[8]);

}  // extern "C"

namespace zor::crypto {

// The native MAC as a chain c = E(c ^ block) from 0 over `blocks` whole
// blocks of the data, then one more step with `last`: the final (padded)
// block already XORed with its subkey. For running the chain elsewhere.
struct CmacTail {
  uint32_t blocks;
  uint64_t last;
};
// K1 of the key (K2 follows from it).
uint64_t cmac_first_subkey(const uint32_t key[8]);
// len bytes of data (len 0: data unused).
CmacTail cmac_native_tail(uint64_t k1, const uint8_t *data, uint32_t len);

}  // namespace zor::crypto
