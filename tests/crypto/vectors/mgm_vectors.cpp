// Magma-MGM, every path: the entry point (which picks a path), the
// portable steps and the vector path.
#include "tests/crypto/vectors/mgm_paths.h"
#include "tests/crypto/vectors/runner.h"

namespace zor::test {
namespace {

struct MgmPath {
  PathInfo info;
  MgmAead run;
};

const MgmPath kMgmPaths[] = {
    {{"entry", nullptr}, magmamgm_aead},
    {{"portable", nullptr}, mgm_portable_path},
    {{"clmul", no_clmul}, mgm_vector_path},
};

class MagmaMgmVectors : public PathRunner<kMgmPaths> {};

TEST_P(MagmaMgmVectors, EveryRecord) {
  const MgmAead run = this_path().run;
  for (const VectorRecord &r : read_vectors("magma_mgm.txt")) {
    SCOPED_TRACE(r.where());
    const MgmNative v = mgm_native(r);
    Bytes data = v.plain;
    uint64_t tag = 0;
    run(v.key.w, data.data(), uint32_t(data.size()), &v.nonce, v.aad.data(), uint32_t(v.aad.size()),
        &tag, 1);
    EXPECT_EQ(to_hex(data), to_hex(v.cipher));
    EXPECT_EQ(tag, v.tag);
    tag = 0;
    run(v.key.w, data.data(), uint32_t(data.size()), &v.nonce, v.aad.data(), uint32_t(v.aad.size()),
        &tag, 0);
    EXPECT_EQ(data, v.plain);
    EXPECT_EQ(tag, v.tag) << "decryption writes the same tag";
  }
}

ZOR_VECTOR_RUNNER(MagmaMgmVectors, kMgmPaths);

}  // namespace
}  // namespace zor::test
