// Streebog-256. The compression runs either on 8 x 256 precomputed LPS
// tables or, where the processor has AVX-512 with GFNI and the vector unit is
// granted, on the vector body (crypto/streebog_avx512.cpp).
#include "crypto/streebog.h"

#include "crypto/cpu_features.h"
#include "crypto/platform.h"
#include "crypto/streebog_constants.h"
#include "crypto/wipe.h"

using namespace zor::crypto::streebog;

namespace {

// lps[i][b]: l applied to pi[b] placed in byte i of a word.
struct LpsTables {
  uint64_t lps[8][256];
};

constexpr LpsTables make_lps_tables() {
  LpsTables t{};
  for (int i = 0; i < 8; ++i)
    for (int b = 0; b < 256; ++b) {
      uint64_t v = 0;
      for (int k = 0; k < 8; ++k)
        if ((kPi[b] >> k) & 1) v ^= kA[63 - (8 * i + k)];
      t.lps[i][b] = v;
    }
  return t;
}

constexpr LpsTables kT = make_lps_tables();

// LPS on a 512-bit state: byte j of input word i lands, substituted, in byte i
// of output word j (the transposition), and each output word goes through l.
inline void lps(uint64_t out[8], const uint64_t in[8]) {
  const uint64_t *base = &kT.lps[0][0];
  __asm__("" : "+r"(base));  // one base register for all eight tables
  uint64_t o0 = 0, o1 = 0, o2 = 0, o3 = 0, o4 = 0, o5 = 0, o6 = 0, o7 = 0;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    const uint64_t *t = base + 256 * i;
    uint64_t a = in[i];
    o0 ^= t[a & 0xFF];
    o1 ^= t[(a >> 8) & 0xFF];
    a >>= 16;
    o2 ^= t[a & 0xFF];
    o3 ^= t[(a >> 8) & 0xFF];
    a >>= 16;
    o4 ^= t[a & 0xFF];
    o5 ^= t[(a >> 8) & 0xFF];
    a >>= 16;
    o6 ^= t[a & 0xFF];
    o7 ^= t[(a >> 8) & 0xFF];
  }
  out[0] = o0, out[1] = o1, out[2] = o2, out[3] = o3;
  out[4] = o4, out[5] = o5, out[6] = o6, out[7] = o7;
}

inline void xor8(uint64_t out[8], const uint64_t a[8], const uint64_t b[8]) {
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) out[i] = a[i] ^ b[i];
}

// h := E(LPS(h ^ n), m) ^ h ^ m, the compression function g_N.
void compress(uint64_t h[8], const uint64_t n[8], const uint64_t m[8]) {
  uint64_t k[8], s[8], t[8];
  xor8(t, h, n);
  lps(k, t);
  xor8(t, k, m);
  for (int r = 0; r < 12; ++r) {
    lps(s, t);
    xor8(t, k, kC.c[r]);
    lps(k, t);
    xor8(t, s, k);
  }
  for (int i = 0; i < 8; ++i) h[i] ^= t[i] ^ m[i];
  zor::crypto::wipe(k, sizeof k);
  zor::crypto::wipe(s, sizeof s);
  zor::crypto::wipe(t, sizeof t);
}

void add_bits(uint64_t n[8], uint64_t bits) {
  const uint64_t v[8] = {bits, 0, 0, 0, 0, 0, 0, 0};
  add512(n, v);
}

void absorb_blocks(Hash3411Ctx *ctx, const uint8_t *p, uint32_t blocks) {
  if (blocks > 1 && zor::crypto::cpu_has_avx512_gfni() && zor::crypto::fpu_begin()) {
    absorb_avx512(ctx->h, ctx->n, ctx->sigma, p, blocks);
    zor::crypto::fpu_end();
    return;
  }
  uint64_t m[8];
  for (; blocks--; p += 64) {
    load_block(m, p);
    compress(ctx->h, ctx->n, m);
    add_bits(ctx->n, 512);
    add512(ctx->sigma, m);
  }
  zor::crypto::wipe(m, sizeof m);
}

}  // namespace

extern "C" {

void Hash3411Open(Hash3411Ctx *ctx) {
  memset(ctx, 0, sizeof *ctx);
  for (uint64_t &w : ctx->h) w = 0x0101010101010101ull;  // IV of the 256-bit digest
}

void Hash3411(Hash3411Ctx *ctx, const void *data, uint32_t len) {
  if (len == 0) return;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  if (ctx->used) {
    const uint32_t take = len < 64 - ctx->used ? len : 64 - ctx->used;
    memcpy(ctx->buf + ctx->used, p, take);
    ctx->used += take;
    p += take;
    len -= take;
    if (ctx->used < 64) return;
    absorb_blocks(ctx, ctx->buf, 1);
    ctx->used = 0;
  }
  absorb_blocks(ctx, p, len / 64);
  p += len & ~63u;
  len &= 63;
  if (len) memcpy(ctx->buf, p, len);
  ctx->used = len;
}

void Hash3411Close(Hash3411Ctx *ctx, uint8_t out[32]) {
  // Last block: the pending bytes, a single 1 bit after them, zeros.
  memset(ctx->buf + ctx->used, 0, 64 - ctx->used);
  ctx->buf[ctx->used] = 0x01;
  uint64_t m[8];
  load_block(m, ctx->buf);
  compress(ctx->h, ctx->n, m);
  add_bits(ctx->n, uint64_t(ctx->used) * 8);
  add512(ctx->sigma, m);
  const uint64_t zero[8] = {};
  compress(ctx->h, zero, ctx->n);
  compress(ctx->h, zero, ctx->sigma);
  // The 256-bit digest is the upper half of h.
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 8; ++k) out[8 * i + k] = uint8_t(ctx->h[4 + i] >> (8 * k));
  zor::crypto::wipe(m, sizeof m);
  zor::crypto::wipe(ctx, sizeof *ctx);
}
}
