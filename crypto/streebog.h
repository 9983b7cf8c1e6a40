// Streebog-256 (GOST R 34.11-2012, 256-bit digest) with a caller-owned context.
// Bytes go in as the message's byte string; the 32-byte digest comes out in the
// usual byte order of implementations (the standard prints both reversed).
#pragma once
#include <stdint.h>

struct Hash3411Ctx {
  uint64_t h[8];      // chaining value
  uint64_t n[8];      // number of message bits absorbed, modulo 2^512
  uint64_t sigma[8];  // sum of the message blocks, modulo 2^512
  uint8_t buf[64];    // pending bytes of the current block
  uint32_t used;      // bytes in buf
};

extern "C" {
void Hash3411Open(Hash3411Ctx *ctx);
void Hash3411(Hash3411Ctx *ctx, const void *data, uint32_t len);
// Writes the digest and wipes the context.
void Hash3411Close(Hash3411Ctx *ctx, uint8_t out[32]);
}
