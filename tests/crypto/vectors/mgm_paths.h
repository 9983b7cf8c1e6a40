// Magma-MGM's implementation paths and its vectors in the library's native
// convention, for the vector runner and the MGM tests.
#pragma once
#include <cstring>
#include <vector>

#include "crypto/magma.h"
#include "crypto/magma_mgm.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {

// A record of magma_mgm.txt in the native convention: each block (a last
// partial block too) and the nonce byte-reversed, the key as eight words.
struct MgmNative {
  Key key;
  uint64_t nonce;
  Bytes aad, plain, cipher;
  uint64_t tag;
};

inline MgmNative mgm_native(const VectorRecord &r) {
  return MgmNative{key_words(r.text("key")), r.number("nonce"), reverse_groups(r.bytes("aad"), 8),
                   reverse_groups(r.bytes("plain"), 8), reverse_groups(r.bytes("cipher"), 8),
                   r.number("tag")};
}

// The published example, for tests that need one vector.
inline MgmNative mgm_example() {
  const std::vector<VectorRecord> v = read_vectors("magma_mgm.txt");
  return v.empty() ? MgmNative{} : mgm_native(v[0]);
}

using MgmAead = void (*)(const uint32_t *, uint8_t *, uint32_t, const uint64_t *, const uint8_t *,
                         uint32_t, uint64_t *, uint32_t);

// The vector path (PCLMULQDQ; its counter blocks take AVX-512 where the
// processor has it).
inline void mgm_vector_path(const uint32_t *key, uint8_t *data, uint32_t len, const uint64_t *nonce,
                            const uint8_t *aad, uint32_t aadlen, uint64_t *tag, uint32_t encrypt) {
  magmamgm_aead_128_sse(data, len, key, nonce, aad, aadlen, tag, encrypt);
}

// The portable path from its two steps.
inline void mgm_portable_path(const uint32_t *key, uint8_t *data, uint32_t len,
                              const uint64_t *nonce, const uint8_t *aad, uint32_t aadlen,
                              uint64_t *tag, uint32_t encrypt) {
  uint64_t n;
  std::memcpy(&n, nonce, 8);  // callers' buffers may be unaligned
  const uint64_t y1 = magmaencrypt_ni(n & ~(1ull << 63), key);
  const uint64_t z1 = magmaencrypt_ni(n | (1ull << 63), key);
  if (encrypt) magma_mgm_ctr(key, y1, data, len);
  const uint64_t t = magma_mgm_gmac(key, z1, aad, aadlen, data, len);
  std::memcpy(tag, &t, 8);
  if (!encrypt) magma_mgm_ctr(key, y1, data, len);
}

}  // namespace zor::test
