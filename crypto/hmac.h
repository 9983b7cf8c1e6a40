// HMAC over Streebog-256 (HMAC_GOSTR3411_2012_256): 64-byte blocks, 32-byte tag.
#pragma once
#include <stdint.h>

#include "crypto/streebog.h"

// Incremental form, for callers that MAC several pieces.
struct HmacStreebogCtx {
  Hash3411Ctx inner;
  Hash3411Ctx outer;
};

extern "C" {
void HMAC_GOSTR3411_2012_256_Open(HmacStreebogCtx *ctx, const void *key, uint32_t key_len);
void HMAC_GOSTR3411_2012_256_Update(HmacStreebogCtx *ctx, const void *data, uint32_t len);
// Writes the 32-byte tag and wipes the context.
void HMAC_GOSTR3411_2012_256_Close(HmacStreebogCtx *ctx, uint8_t out[32]);

void HMAC_GOSTR3411_2012_256(const void *key, uint32_t key_len, const void *data, uint32_t len,
                             uint8_t out[32]);
}
