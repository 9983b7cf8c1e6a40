#include "tests/crypto/vectors/runner.h"

#include "crypto/cpu_features.h"

namespace zor::test {

std::vector<Run> every_run(size_t paths) {
  std::vector<Run> runs;
  for (size_t b = 0; b < build_variants().size(); ++b)
    for (size_t p = 0; p < paths; ++p) runs.push_back({b, p});
  return runs;
}

std::string run_name(const Run &r, const PathInfo &path) {
  return std::string(build_variants()[r.build].name) + "_" + path.name;
}

void VectorRunner::SetUp() {
  const BuildVariant &build = build_variants()[GetParam().build];
  build.enter();
  const PathInfo &p = path_info(path());
  if (!p.unavailable) return;
  if (!build.vector_unit) GTEST_SKIP() << "the host refuses the vector unit: no vector path";
  if (const char *why = p.unavailable()) GTEST_SKIP() << why;
}

const char *no_avx512_vbmi() {
  return zor::crypto::cpu_has_avx512_vbmi() ? nullptr : "no AVX-512 VBMI on this processor";
}
const char *no_avx512_gfni() {
  return zor::crypto::cpu_has_avx512_gfni() ? nullptr : "no AVX-512 VBMI with GFNI on this processor";
}
const char *no_clmul() {
  return zor::crypto::cpu_has_clmul_ssse3() ? nullptr : "no PCLMULQDQ and SSSE3 on this processor";
}

}  // namespace zor::test
