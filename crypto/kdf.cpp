#include "crypto/kdf.h"

#include "crypto/hmac.h"
#include "crypto/wipe.h"

extern "C" {

uint32_t KDF_TREE_GOSTR3411_2012_256(const uint8_t key[32], const void *label, uint32_t label_len,
                                     const void *seed, uint32_t seed_len, uint8_t *out,
                                     uint32_t out_len) {
  if (out_len == 0 || out_len > KDF_TREE_MAX_OUT) return 1;
  const uint32_t bits = out_len * 8;
  uint8_t length[4];
  uint32_t length_bytes = 0;
  for (int shift = 24; shift >= 0; shift -= 8)
    if ((bits >> shift) || length_bytes) length[length_bytes++] = uint8_t(bits >> shift);
  const uint8_t zero = 0;
  uint8_t block[32];
  for (uint32_t i = 1, done = 0; done < out_len; ++i) {
    const uint8_t counter = uint8_t(i);
    HmacStreebogCtx ctx;
    HMAC_GOSTR3411_2012_256_Open(&ctx, key, 32);
    HMAC_GOSTR3411_2012_256_Update(&ctx, &counter, 1);
    HMAC_GOSTR3411_2012_256_Update(&ctx, label, label_len);
    HMAC_GOSTR3411_2012_256_Update(&ctx, &zero, 1);
    HMAC_GOSTR3411_2012_256_Update(&ctx, seed, seed_len);
    HMAC_GOSTR3411_2012_256_Update(&ctx, length, length_bytes);
    HMAC_GOSTR3411_2012_256_Close(&ctx, block);
    const uint32_t take = out_len - done < 32 ? out_len - done : 32;
    memcpy(out + done, block, take);
    done += take;
  }
  zor::crypto::wipe(block, sizeof block);
  return 0;
}
}
