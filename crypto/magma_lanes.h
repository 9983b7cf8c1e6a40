// Many Magma chains side by side: the CMAC and OFB of several messages at
// once. Each chain is serial (every block waits for the one before), so one
// message cannot fill the vector unit; messages under one key can, one per
// lane (16 lanes per AVX-512 register, up to four registers in flight). Results are
// byte for byte those of magma_cmac and magma_ofb message by message, which
// is also the path taken without AVX-512 (or without a granted vector unit).
// Messages next to each other with the same key form one batch; a key that
// changes inside the array only starts a new batch.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zor::crypto {

// One message to MAC: `mac` gets the native CMAC value of magma_cmac (the
// little-endian reading of its 8 output bytes).
struct MacLane {
  const uint32_t *key;  // eight words
  const uint8_t *data;
  uint32_t len;
  uint64_t mac;
};
void magma_cmac_lanes(MacLane *lanes, size_t n);

// One message to encipher or decipher in place with OFB from `iv`, as
// magma_ofb with the IV value iv.
struct OfbLane {
  const uint32_t *key;  // eight words
  uint8_t *data;
  uint32_t len;
  uint64_t iv;
};
void magma_ofb_lanes(const OfbLane *lanes, size_t n);

// The AVX-512 bodies, at most kWideLanes messages under one key; only called
// inside a WideSection that is on.
constexpr size_t kWideLanes = 64;
// mac[j] = the chain from 0 over blocks[j] whole blocks at data[j], then last[j].
void magma_cbc_mac_lanes_avx512(const uint32_t key[8], const uint8_t *const data[],
                                const uint32_t blocks[], const uint64_t last[], uint64_t mac[],
                                size_t n);
// The whole[j] blocks at data[j] XORed with the OFB stream from iv[j];
// next[j] gets the stream's following block (for a partial last block).
void magma_ofb_lanes_avx512(const uint32_t key[8], uint8_t *const data[], const uint32_t whole[],
                            const uint64_t iv[], uint64_t next[], size_t n);

}  // namespace zor::crypto
