// KDF_TREE_GOSTR3411_2012_256: the tree key derivation of RFC 7836 over
// HMAC_GOSTR3411_2012_256, with a one-byte block counter (R = 1):
//   K(i) = HMAC(key, [i]_1 | label | 0x00 | seed | [L]_b),  i = 1, 2, ...
// where L = out_len * 8 is the output length in bits, written big-endian in as
// few bytes as it needs. The output is K(1) | K(2) | ... cut to out_len bytes,
// so callers must ask for exactly the length they use: L enters every block.
#pragma once
#include <stdint.h>

constexpr uint32_t KDF_TREE_MAX_OUT = 255u * 32u;  // what a one-byte counter can number

extern "C" {
// key: 32 bytes. label and seed may be empty (null with length 0).
// Result 0; 1 (nothing written) for out_len 0 or above KDF_TREE_MAX_OUT.
uint32_t KDF_TREE_GOSTR3411_2012_256(const uint8_t key[32], const void *label, uint32_t label_len,
                                     const void *seed, uint32_t seed_len, uint8_t *out,
                                     uint32_t out_len);
}
