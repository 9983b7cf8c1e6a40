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

// One message of magmamgm_aead_many: data, len, nonce (its value), aad and
// aadlen as magmamgm_aead takes them; tag gets the tag's value.
struct MgmMessage {
  uint8_t *data;
  uint32_t len;
  uint64_t nonce;
  const uint8_t *aad;
  uint32_t aadlen;
  uint64_t tag;
};

// Many messages under one key, each given the bytes and the tag that
// magmamgm_aead gives it. On the vector path the blocks that each message
// would encipher on its own, one after the other (the nonce's two, the hash
// keys of short associated data and of the length block, the tag), are
// enciphered for all of them together.
void magmamgm_aead_many(const uint32_t key[8], MgmMessage *msgs, uint32_t n, uint32_t encrypt);

// The vector paths themselves; the caller holds the vector unit and has
// checked magma_support_fast_MGM().
void magmamgm_aead_many_sse(const uint32_t key[8], MgmMessage *msgs, uint32_t n,
                            uint32_t encrypt);
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
