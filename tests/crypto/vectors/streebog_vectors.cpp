// Streebog-256, every path: the message in one call (whole blocks in bulk),
// byte by byte and block by block (the table body), and the AVX-512 body
// fed each whole block directly.
#include <algorithm>

#include "crypto/streebog.h"
#include "crypto/streebog_constants.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/runner.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {
namespace {

struct StreebogPath {
  PathInfo info;
  void (*absorb)(Hash3411Ctx *ctx, const Bytes &msg);
};

const StreebogPath kStreebogPaths[] = {
    {{"one_call", nullptr},
     [](Hash3411Ctx *ctx, const Bytes &m) { Hash3411(ctx, m.data(), uint32_t(m.size())); }},
    {{"byte_by_byte", nullptr},
     [](Hash3411Ctx *ctx, const Bytes &m) {
       for (uint8_t b : m) Hash3411(ctx, &b, 1);
     }},
    {{"block_by_block", nullptr},
     [](Hash3411Ctx *ctx, const Bytes &m) {
       for (size_t at = 0; at < m.size(); at += 64)
         Hash3411(ctx, m.data() + at, uint32_t(std::min<size_t>(64, m.size() - at)));
     }},
    // A message shorter than a block has nothing for the vector body: its
    // digest then comes from the closing step alone.
    {{"avx512", no_avx512_gfni},
     [](Hash3411Ctx *ctx, const Bytes &m) {
       const uint32_t blocks = uint32_t(m.size() / 64);
       for (uint32_t b = 0; b < blocks; ++b)
         zor::crypto::streebog::absorb_avx512(ctx->h, ctx->n, ctx->sigma, m.data() + 64 * b, 1);
       Hash3411(ctx, m.data() + 64 * blocks, uint32_t(m.size() % 64));
     }},
};

class StreebogVectors : public PathRunner<kStreebogPaths> {};

TEST_P(StreebogVectors, EveryRecord) {
  for (const VectorRecord &r : read_vectors("streebog256.txt")) {
    SCOPED_TRACE(r.where());
    const Bytes msg =
        r.has("text") ? Bytes(r.text("text").begin(), r.text("text").end()) : r.bytes("message");
    Hash3411Ctx ctx;
    Hash3411Open(&ctx);
    this_path().absorb(&ctx, msg);
    uint8_t out[32];
    Hash3411Close(&ctx, out);
    EXPECT_EQ(to_hex(out, 32), to_hex(printed_le(r.text("digest"))));
  }
}

ZOR_VECTOR_RUNNER(StreebogVectors, kStreebogPaths);

}  // namespace
}  // namespace zor::test
