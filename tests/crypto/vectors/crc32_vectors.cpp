// The frame check sequence in one call and chained byte by byte; a sealed
// message gives the residue.
#include "crypto/crc32.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/runner.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {
namespace {

struct Crc32Path {
  PathInfo info;
  uint32_t (*run)(const Bytes &msg);
};

const Crc32Path kCrc32Paths[] = {
    {{"one_call", nullptr}, [](const Bytes &m) { return FCS32(m.data(), uint32_t(m.size())); }},
    {{"chained", nullptr},
     [](const Bytes &m) {
       uint32_t crc = FCS32(nullptr, 0);
       for (uint8_t b : m) crc = FCS32cont(&b, 1, crc);
       return crc;
     }},
};

class Crc32Vectors : public PathRunner<kCrc32Paths> {};

TEST_P(Crc32Vectors, EveryRecord) {
  const Crc32Path &p = this_path();
  for (const VectorRecord &r : read_vectors("crc32.txt")) {
    SCOPED_TRACE(r.where());
    const Bytes msg(r.text("text").begin(), r.text("text").end());
    const uint32_t fcs = p.run(msg);
    EXPECT_EQ(fcs, uint32_t(r.number("fcs")));
    EXPECT_EQ(~fcs, uint32_t(r.number("check")));
    // Sealed: the complement stored little-endian behind the data.
    Bytes sealed = msg;
    for (int i = 0; i < 4; ++i) sealed.push_back(uint8_t(~fcs >> (8 * i)));
    EXPECT_EQ(p.run(sealed), FCS32_RESIDUE);
  }
}

ZOR_VECTOR_RUNNER(Crc32Vectors, kCrc32Paths);

}  // namespace
}  // namespace zor::test
