// Streebog-256 and GOST 28147-89 CFB (param-Z) in MB/s beside the engine, and
// GOST R 34.10-2012 (paramSetA) public keys and ECDH points per second beside
// the engine's keys on OpenSSL's curve arithmetic, in lines of the form
//   <operation> ops/s ours <n> engine <n or -> ratio <ours/engine or ->
#include <cstdio>
#include <functional>

#include "bench/crypto_bench/bench_line.h"
#include "crypto/gost3410.h"
#include "crypto/gost89.h"
#include "crypto/streebog.h"
#include "tests/crypto/engine_oracle.h"

namespace {

using zor::bench::bench_line;
using zor::bench::Operation;
using zor::test::EngineKeyPair;
using zor::test::GostEngine;

const uint8_t kKey[32] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x01, 0x23, 0x45,
                          0x67, 0x89, 0xab, 0xcd, 0xef, 0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5,
                          0x96, 0x87, 0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f};
const uint8_t kIv[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

Operation engine_streebog() {
  if (!GostEngine::get()) return {};
  EVP_MD *md = EVP_MD_fetch(nullptr, "md_gost12_256", nullptr);
  if (!md) return {};
  return [md](uint8_t *buf, size_t n) {
    uint8_t out[32];
    unsigned int len = 0;
    return EVP_Digest(buf, n, out, &len, md, nullptr) == 1;
  };
}

// The engine's "gost89" meshes its key every 1 KiB, which it must do; ours
// has no meshing (the callers' CFB has none).
Operation engine_gost89_cfb() {
  if (!GostEngine::get()) return {};
  EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "gost89", nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  if (!c || !ctx) return {};
  return [c, ctx](uint8_t *buf, size_t n) {
    int out = 0, fin = 0;
    return EVP_EncryptInit_ex(ctx, c, nullptr, kKey, kIv) == 1 &&
           EVP_EncryptUpdate(ctx, buf, &out, buf, int(n)) == 1 &&
           EVP_EncryptFinal_ex(ctx, buf + out, &fin) == 1;
  };
}

void ops_line(const char *operation, const std::function<bool()> &ours, const std::function<bool()> &engine) {
  char label[128];
  std::snprintf(label, sizeof label, "%s ops/s", operation);
  zor::bench::print_line(label, zor::bench::runs_per_second(ours),
                         engine ? zor::bench::runs_per_second(engine) : -1, 0);
}

void curve_lines() {
  const R3410_256_Params *a = R34101_SelectParams(R3410_PARAMSET_256_A);
  EngineKeyPair k1, k2;
  const bool engine = zor::test::GostKeyEngine::get() && k1.generate() && k2.generate();
  if (!engine) std::printf("# the GOST engine \"gost\" is not loadable here\n");
  uint8_t d[32];
  for (int i = 0; i < 32; ++i) d[i] = uint8_t(0x5A ^ (i * 13));
  ops_line("GOST3410-256-A-PubKey", [&] {
    uint8_t pub[64];
    return R3410_256_PubKey(a, pub, d) == 0;
  }, engine ? std::function<bool()>([&] {
    BIGNUM *bn = BN_lebin2bn(d, 32, nullptr);
    EC_POINT *r = EC_POINT_new(k1.group);
    const bool ok = EC_POINT_mul(k1.group, r, bn, nullptr, nullptr, nullptr) == 1 &&
                    EC_POINT_get_affine_coordinates(k1.group, r, nullptr, nullptr, nullptr) == 1;
    EC_POINT_free(r);
    BN_free(bn);
    return ok;
  }) : std::function<bool()>());
  uint8_t peer[64];
  R3410_256_PubKey(a, peer, d);
  ops_line("GOST3410-256-A-ECDHE", [&] {
    uint8_t x[32];
    return R3410_256_ECDHE(a, x, kKey, peer, 64) == 0;
  }, engine ? std::function<bool()>([&] { return k1.shared_x(k2).size() == 32; }) : std::function<bool()>());
}

void gost_lines() {
  uint32_t key_words[8];
  zor::crypto::load_key_le(key_words, kKey);
  for (size_t bytes : zor::bench::kSizes) {
    bench_line("Streebog-256", bytes, [](uint8_t *buf, size_t n) {
      Hash3411Ctx ctx;
      uint8_t out[32];
      Hash3411Open(&ctx);
      Hash3411(&ctx, buf, uint32_t(n));
      Hash3411Close(&ctx, out);
      return true;
    }, engine_streebog());
    bench_line("GOST28147-CFB", bytes, [key_words](uint8_t *buf, size_t n) {
      // The IV is the first 8 bytes of the buffer; the rest is enciphered.
      EncipherData8(randomizeruz, key_words, buf, uint32_t(n));
      return true;
    }, engine_gost89_cfb());
  }
  curve_lines();
}

BENCH_GROUP(20, gost_lines);

}  // namespace
