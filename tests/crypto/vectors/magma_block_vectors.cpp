// Magma's block function and its round pieces, every path: the single-block
// function, the many-block engine's table and AVX-512 bodies, and the
// GOST 28147-89 functions under the param-Z tables (the same cipher).
#include <cstring>

#include "crypto/gost89.h"
#include "crypto/magma.h"
#include "crypto/magma_blocks.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/runner.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {
namespace {

using zor::crypto::magma_ecb_blocks;

// Encrypts and decrypts one block (as the standard's 64-bit value) under a
// key given as the eight round-key words.
struct BlockPath {
  PathInfo info;
  uint64_t (*encrypt)(const Key &k, uint64_t block);
  // nullptr where the path has no inverse.
  uint64_t (*decrypt)(const Key &k, uint64_t block);
};

uint64_t le64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint64_t gost89_crypt(const UzTable4K *t, const Key &k, uint64_t block, bool decrypt) {
  uint8_t b[8];
  std::memcpy(b, &block, 8);
  (decrypt ? gostdecrypt : gostcrypt)(t, k.w, b, b);
  return le64(b);
}

// The param-Z table expanded from its source rows now.
const UzTable4K *built_param_z() {
  static UzTable4K t;
  MAKEUZ4K(&t, f2009uz_v);
  return &t;
}

// The many-block engine over a run of 33 copies (two vector groups and one
// more), every copy checked against the first.
uint64_t many_blocks(const Key &k, uint64_t block, bool wide) {
  std::vector<uint64_t> in(33, block), out(34, 0x5A5A);
  magma_ecb_blocks(k.w, in.data(), out.data(), in.size(), wide);
  for (size_t i = 1; i < in.size(); ++i) EXPECT_EQ(out[i], out[0]) << "block " << i;
  EXPECT_EQ(out[33], 0x5A5Au) << "nothing written past the run";
  return out[0];
}

const BlockPath kBlockPaths[] = {
    {{"block", nullptr}, [](const Key &k, uint64_t b) { return magmaencrypt_ni(b, k.w); }, nullptr},
    {{"many_table", nullptr}, [](const Key &k, uint64_t b) { return many_blocks(k, b, false); }, nullptr},
    {{"many_avx512", no_avx512_vbmi}, [](const Key &k, uint64_t b) { return many_blocks(k, b, true); },
     nullptr},
    {{"gost89_paramz", nullptr},
     [](const Key &k, uint64_t b) { return gost89_crypt(randomizeruz, k, b, false); },
     [](const Key &k, uint64_t b) { return gost89_crypt(randomizeruz, k, b, true); }},
    {{"gost89_magma_lazy", nullptr},
     [](const Key &k, uint64_t b) { return gost89_crypt(magma_get_UZ(), k, b, false); },
     [](const Key &k, uint64_t b) { return gost89_crypt(magma_get_UZ(), k, b, true); }},
    {{"gost89_paramz_built", nullptr},
     [](const Key &k, uint64_t b) { return gost89_crypt(built_param_z(), k, b, false); },
     [](const Key &k, uint64_t b) { return gost89_crypt(built_param_z(), k, b, true); }},
};

class MagmaBlockVectors : public PathRunner<kBlockPaths> {};

TEST_P(MagmaBlockVectors, EveryRecord) {
  const BlockPath &p = this_path();
  for (const VectorRecord &r : read_vectors("magma_block.txt")) {
    SCOPED_TRACE(r.where());
    const Key k = key_words(r.text("key"));
    const uint64_t plain = r.number("plain"), cipher = r.number("cipher");
    EXPECT_EQ(p.encrypt(k, plain), cipher);
    if (p.decrypt) {
      EXPECT_EQ(p.decrypt(k, cipher), plain);
    }
  }
}

ZOR_VECTOR_RUNNER(MagmaBlockVectors, kBlockPaths);

// The round pieces: t (substitution) and g[k] (substitution of k + a, then
// rotation by 11). A table path's g carries the rotation; its t undoes it.
struct RoundPath {
  PathInfo info;
  uint32_t (*g)(uint32_t x);  // rotl11(t(x))
};

uint32_t rows_g(const uint8_t *rows, uint32_t x) {
  uint32_t r = 0;
  for (int k = 0; k < 8; ++k) r |= uint32_t(rows[16 * k + ((x >> (4 * k)) & 15)]) << (4 * k);
  return zor::crypto::rotl32(r, 11);
}

const RoundPath kRoundPaths[] = {
    {{"paramz_rows", nullptr}, [](uint32_t x) { return rows_g(f2009uz_v, x); }},
    {{"magma_table", nullptr}, [](uint32_t x) { return zor::crypto::uz_g(MAGMA_sbox_4k, x); }},
    {{"lazy_table", nullptr}, [](uint32_t x) { return zor::crypto::uz_g(*magma_get_UZ(), x); }},
    {{"paramz_table", nullptr}, [](uint32_t x) { return zor::crypto::uz_g(f2009uz, x); }},
    {{"paramz_built", nullptr}, [](uint32_t x) { return zor::crypto::uz_g(*built_param_z(), x); }},
};

class MagmaRoundVectors : public PathRunner<kRoundPaths> {};

TEST_P(MagmaRoundVectors, EveryRecord) {
  const RoundPath &p = this_path();
  for (const VectorRecord &r : read_vectors("magma_transforms.txt")) {
    SCOPED_TRACE(r.where());
    const uint32_t out = uint32_t(r.number("out"));
    if (r.text("kind") == "t") {
      EXPECT_EQ(zor::crypto::rotl32(p.g(uint32_t(r.number("in"))), 21), out);
    } else {
      ASSERT_EQ(r.text("kind"), "g");
      EXPECT_EQ(p.g(uint32_t(r.number("k")) + uint32_t(r.number("a"))), out);
    }
  }
}

ZOR_VECTOR_RUNNER(MagmaRoundVectors, kRoundPaths);

}  // namespace
}  // namespace zor::test
