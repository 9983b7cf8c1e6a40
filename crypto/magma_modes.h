// Magma stream modes, in place and each its own inverse: OFB and CTR of
// GOST R 34.13-2015 and CTR-ACPKM (key change after each section). Keys and
// blocks follow crypto/magma.h unless a function says otherwise; none writes
// back its IV, counter or key.
#pragma once
#include <stdint.h>

extern "C" {

// OFB from the 64-bit IV (read from possibly unaligned memory). Only the len
// bytes are changed, also in a last partial block.
void magma_ofb(const uint32_t key[8], uint8_t *data, uint32_t len, const uint64_t *iv);
// buf[0..7] is the IV and stays as it is; the len - 8 bytes after it are
// processed. len counts the IV; 8 or less does nothing.
void EncipherData8MAGMAOFB(const uint32_t key[8], uint8_t *buf, uint32_t len);
// OFB with the IV ivhi << 32 | ivlo, over len bytes or nblocks whole blocks.
void EncipherData8MAGMAOFB2(const uint32_t key[8], uint8_t *data, uint32_t len, uint32_t ivlo,
                            uint32_t ivhi);
void EncipherData8SAMAGMAOFB(const uint32_t key[8], uint8_t *data, uint32_t nblocks,
                             uint32_t ivlo, uint32_t ivhi);

// CTR on native blocks: the counter block is ivhi << 32 | counter and only
// its low half counts up. A last partial block takes the low bytes of its
// keystream block. A negative len does nothing.
void magma_ctr(uint32_t ivhi, uint32_t counter, const uint32_t key[8], uint8_t *data, int32_t len);

// CTR of the standard with a 32-bit IV: blocks and keystream big-endian, the
// counter block iv << 32 | 0.
void magma_ctr_msb(uint32_t iv, const uint32_t key[8], uint8_t *data, int32_t len);

// CTR-ACPKM with the key in the standard's byte order and iv the 4 IV bytes
// loaded little-endian as they lie in memory; the key changes every 1024 bytes
// (_tss: every 16 bytes). The caller's key is never changed.
void magma_ctracpkm_msb(uint32_t iv, const uint8_t key[32], uint8_t *data, int32_t len);
void magma_ctracpkm_msb_tss(uint32_t iv, const uint8_t key[32], uint8_t *data, int32_t len);

}  // extern "C"
