// Magma-MGM authenticated encryption (Multilinear Galois Mode over 64-bit
// blocks, GF(2^64) with x^64 + x^4 + x^3 + x + 1), native block convention of
// crypto/magma.h. The hash covers the ciphertext in both directions.
#pragma once
#include <stdint.h>

extern "C" {

// 1 when the processor has PCLMULQDQ and SSSE3 (CPUID leaf 1, ECX mask
// 0x202), which the vector path needs; else 0.
uint32_t magma_support_fast_MGM(void);

// Encrypts (encrypt 1) or decrypts (0) len bytes of data in place,
// authenticating aadlen bytes of aad with them, and always writes the 8-byte
// tag (little-endian block value); on decryption the caller compares it with
// the received tag. nonce is 8 bytes; its top bit is ignored. Null data or
// aad counts as empty. Takes the vector path inside a granted vector-unit
// section on a processor that has the instructions, else the portable one;
// both give the same bytes.
void magmamgm_aead(const uint32_t key[8], uint8_t *data, uint32_t len, const uint64_t *nonce,
                   const uint8_t *aad, uint32_t aadlen, uint64_t *tag, uint32_t encrypt);

// The vector path itself; the caller holds the vector unit and has checked
// magma_support_fast_MGM().
void magmamgm_aead_128_sse(uint8_t *data, uint32_t len, const uint32_t key[8],
                           const uint64_t *nonce, const uint8_t *aad, uint32_t aadlen,
                           uint64_t *tag, uint32_t encrypt);

// The portable path's two steps. y1 and z1 are the enciphered nonce with
// its top bit clear and set. magma_mgm_ctr XORs data with E(Y(i)), Y(i)
// counting up in the low half of y1; magma_mgm_gmac returns the tag over the
// aad, the ciphertext and the length block, hash keys E(Z(i)) counting up in
// the high half of z1.
void magma_mgm_ctr(const uint32_t key[8], uint64_t y1, uint8_t *data, uint32_t len);
uint64_t magma_mgm_gmac(const uint32_t key[8], uint64_t z1, const uint8_t *aad, uint32_t aadlen,
                        const uint8_t *cdata, uint32_t len);

}  // extern "C"
