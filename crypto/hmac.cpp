#include "crypto/hmac.h"

#include "crypto/wipe.h"

extern "C" {

void HMAC_GOSTR3411_2012_256_Open(HmacStreebogCtx *ctx, const void *key, uint32_t key_len) {
  // A key longer than the block is replaced by its digest.
  uint8_t block[64] = {};
  if (key_len > 64) {
    Hash3411Open(&ctx->inner);
    Hash3411(&ctx->inner, key, key_len);
    Hash3411Close(&ctx->inner, block);
  } else if (key_len) {
    memcpy(block, key, key_len);
  }
  for (uint8_t &b : block) b ^= 0x36;
  Hash3411Open(&ctx->inner);
  Hash3411(&ctx->inner, block, 64);
  for (uint8_t &b : block) b ^= 0x36 ^ 0x5c;
  Hash3411Open(&ctx->outer);
  Hash3411(&ctx->outer, block, 64);
  zor::crypto::wipe(block, sizeof block);
}

void HMAC_GOSTR3411_2012_256_Update(HmacStreebogCtx *ctx, const void *data, uint32_t len) {
  Hash3411(&ctx->inner, data, len);
}

void HMAC_GOSTR3411_2012_256_Close(HmacStreebogCtx *ctx, uint8_t out[32]) {
  uint8_t inner[32];
  Hash3411Close(&ctx->inner, inner);
  Hash3411(&ctx->outer, inner, 32);
  Hash3411Close(&ctx->outer, out);
  zor::crypto::wipe(inner, sizeof inner);
}

void HMAC_GOSTR3411_2012_256(const void *key, uint32_t key_len, const void *data, uint32_t len,
                             uint8_t out[32]) {
  HmacStreebogCtx ctx;
  HMAC_GOSTR3411_2012_256_Open(&ctx, key, key_len);
  HMAC_GOSTR3411_2012_256_Update(&ctx, data, len);
  HMAC_GOSTR3411_2012_256_Close(&ctx, out);
}
}
