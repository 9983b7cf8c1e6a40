#include "crypto/buffer_crypt.h"

#if !ZOR_KERNEL
#include <stdlib.h>

#include "crypto/gost89.h"
#include "crypto/magma_modes.h"
#include "crypto/platform.h"
#include "crypto/wipe.h"

extern "C" const char testkey32[33] = "Solvarin buffer\r\nkey, 32 bytes.\n";
static_assert(sizeof testkey32 == 33);

namespace {

enum class Cipher { kMagmaOfb, kGost89Cfb };

// The data goes to byte 8 of a zeroed work buffer of len + 32 bytes, whose
// first 8 bytes are the IV; the cipher runs over IV and data (its last block
// may reach into the zero padding, never past the work buffer) and the data
// bytes are copied back.
int32_t transform(uint8_t *data, uint32_t len, Cipher cipher) {
  if (len == 0) return 0;
  if (data == nullptr || len > UINT32_MAX - 32) return 1;
  uint8_t *work = static_cast<uint8_t *>(calloc(size_t(len) + 32, 1));
  if (work == nullptr) return 1;
  memcpy(work + 8, data, len);
  uint32_t key[8];
  zor::crypto::load_key_le(key, reinterpret_cast<const uint8_t *>(testkey32));
  if (cipher == Cipher::kMagmaOfb)
    EncipherData8MAGMAOFB(key, work, len + 8);
  else
    EncipherData8(bukuz, key, work, len + 8);
  memcpy(data, work + 8, len);
  zor::crypto::wipe(key, sizeof key);
  zor::crypto::wipe(work, size_t(len) + 32);
  free(work);
  return 0;
}

}  // namespace

extern "C" {
int32_t EncryptBuffer(uint8_t *data, uint32_t len) { return transform(data, len, Cipher::kMagmaOfb); }
int32_t DecryptBuffer(uint8_t *data, uint32_t len) { return transform(data, len, Cipher::kMagmaOfb); }
int32_t DecryptBufferGost(uint8_t *data, uint32_t len) { return transform(data, len, Cipher::kGost89Cfb); }
}
#endif
