// HMAC_GOSTR3411_2012_256 (in one call and in pieces) and the KDFs on it.
#include <algorithm>

#include "crypto/hmac.h"
#include "crypto/kdf.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/runner.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {
namespace {

struct HmacPath {
  PathInfo info;
  Bytes (*run)(const Bytes &key, const Bytes &data);
};

const HmacPath kHmacPaths[] = {
    {{"one_call", nullptr},
     [](const Bytes &key, const Bytes &data) {
       Bytes tag(32);
       HMAC_GOSTR3411_2012_256(key.data(), uint32_t(key.size()), data.data(), uint32_t(data.size()),
                               tag.data());
       return tag;
     }},
    {{"in_pieces", nullptr},
     [](const Bytes &key, const Bytes &data) {
       HmacStreebogCtx ctx;
       HMAC_GOSTR3411_2012_256_Open(&ctx, key.data(), uint32_t(key.size()));
       for (size_t at = 0; at < data.size(); at += 5)
         HMAC_GOSTR3411_2012_256_Update(&ctx, data.data() + at, uint32_t(std::min<size_t>(5, data.size() - at)));
       Bytes tag(32);
       HMAC_GOSTR3411_2012_256_Close(&ctx, tag.data());
       return tag;
     }},
};

class HmacKdfVectors : public PathRunner<kHmacPaths> {};

TEST_P(HmacKdfVectors, EveryRecord) {
  for (const VectorRecord &r : read_vectors("hmac_kdf.txt")) {
    SCOPED_TRACE(r.where());
    const Bytes key = r.bytes("key");
    const std::string &kind = r.text("kind");
    if (kind == "hmac") {
      EXPECT_EQ(to_hex(this_path().run(key, r.bytes("data"))), to_hex(r.bytes("tag")));
      continue;
    }
    // A KDF record: the tree with the output's length (the one-step KDF is
    // its 32-byte case).
    ASSERT_TRUE(kind == "kdf_tree" || kind == "kdf_256") << kind;
    ASSERT_EQ(key.size(), 32u);
    const Bytes label = r.bytes("label"), seed = r.bytes("seed"), expect = r.bytes("out");
    if (kind == "kdf_256") {
      ASSERT_EQ(expect.size(), 32u);
    }
    Bytes out(expect.size());
    ASSERT_EQ(KDF_TREE_GOSTR3411_2012_256(key.data(), label.data(), uint32_t(label.size()), seed.data(),
                                          uint32_t(seed.size()), out.data(), uint32_t(out.size())),
              0u);
    EXPECT_EQ(to_hex(out), to_hex(expect));
  }
}

ZOR_VECTOR_RUNNER(HmacKdfVectors, kHmacPaths);

}  // namespace
}  // namespace zor::test
