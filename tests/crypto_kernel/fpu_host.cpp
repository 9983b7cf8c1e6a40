#include "tests/crypto_kernel/fpu_host.h"

#include <gtest/gtest.h>

#include "tests/crypto/vectors/runner.h"

namespace zor::test {

FpuHost fpu_host;

namespace {

void check_sections() {
  EXPECT_EQ(fpu_host.open, 0) << "a granted section was left open";
  EXPECT_FALSE(fpu_host.unbalanced) << "KERN_fpu_end without a granted section";
}

}  // namespace

// The vector runners here run the freestanding build, its vector unit
// granted and refused.
const std::vector<BuildVariant> &build_variants() {
  static const std::vector<BuildVariant> v = {
      {"kernel_granted", true, [] { fpu_host = FpuHost{true}; }, check_sections},
      {"kernel_refused", false, [] { fpu_host = FpuHost{false}; }, check_sections},
  };
  return v;
}

}  // namespace zor::test

using zor::test::fpu_host;

extern "C" int KERN_fpu_try_begin(void) {
  if (!fpu_host.grant) {
    ++fpu_host.refused;
    return 0;
  }
  ++fpu_host.open;
  ++fpu_host.granted;
  return 1;
}

extern "C" void KERN_fpu_end(void) {
  if (--fpu_host.open < 0) fpu_host.unbalanced = true;
}
