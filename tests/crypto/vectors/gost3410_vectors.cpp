// GOST R 34.10-2012 public keys on the built-in paramSetA and on curves
// given in the record.
#include "crypto/gost3410.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/runner.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {
namespace {

const struct Gost3410Path {
  PathInfo info;
} kGost3410Paths[] = {{{"public_key", nullptr}}};

class Gost3410Vectors : public PathRunner<kGost3410Paths> {};

TEST_P(Gost3410Vectors, EveryRecord) {
  for (const VectorRecord &r : read_vectors("gost3410.txt")) {
    SCOPED_TRACE(r.where());
    R3410_256_Params curve{};
    if (r.text("curve") == "paramset_a") {
      curve = *R34101_SelectParams(R3410_PARAMSET_256_A);
    } else {
      ASSERT_EQ(r.text("curve"), "explicit");
      curve = zor::crypto::r3410_params(r.text("p").c_str(), r.text("a").c_str(), r.text("b").c_str(),
                                        r.text("q").c_str(), r.text("gx").c_str(), r.text("gy").c_str(), 1);
    }
    const Bytes d = printed_le(r.text("d"));
    uint8_t pub[64];
    ASSERT_EQ(R3410_256_PubKey(&curve, pub, d.data()), 0u);
    EXPECT_EQ(to_hex(pub, 64), to_hex(printed_le(r.text("x"))) + to_hex(printed_le(r.text("y"))));
  }
}

ZOR_VECTOR_RUNNER(Gost3410Vectors, kGost3410Paths);

}  // namespace
}  // namespace zor::test
