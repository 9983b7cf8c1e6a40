// The hosted build of the crypto library: the vector unit is always there.
#include "tests/crypto/vectors/runner.h"

namespace zor::test {

const std::vector<BuildVariant> &build_variants() {
  static const std::vector<BuildVariant> v = {{"hosted", true, [] {}, [] {}}};
  return v;
}

}  // namespace zor::test
