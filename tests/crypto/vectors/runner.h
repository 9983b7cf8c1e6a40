// The vector runners: each runs every record of its primitive's data file
// through every implementation path of the primitive, once per build of the
// library it is linked with (build_variants()). A path the processor lacks
// is skipped, visibly.
#pragma once
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

namespace zor::test {

// A build of the crypto library the runners are linked with: the hosted one
// (tests/crypto) or the freestanding one (tests/crypto_kernel), whose host
// grants or refuses the vector unit.
struct BuildVariant {
  const char *name;
  bool vector_unit;  // the host grants it: vector paths may run
  void (*enter)();  // before a run
  void (*check)();  // after a run: what the host saw was sound
};
const std::vector<BuildVariant> &build_variants();

// An implementation path. A portable one has no unavailable(); a vector
// path's gives why it cannot run on this processor, or nullptr.
struct PathInfo {
  const char *name;
  const char *(*unavailable)();
};

struct Run {
  size_t build;
  size_t path;
};

inline void PrintTo(const Run &r, std::ostream *os) { *os << "build " << r.build << ", path " << r.path; }

// Every build with every path of a runner.
std::vector<Run> every_run(size_t paths);
std::string run_name(const Run &r, const PathInfo &path);

// The fixture: enters the build, skips a vector path the processor or the
// host does not allow, checks the build after the run.
class VectorRunner : public ::testing::TestWithParam<Run> {
 protected:
  virtual const PathInfo &path_info(size_t path) const = 0;
  void SetUp() override;
  void TearDown() override { build_variants()[GetParam().build].check(); }
  size_t path() const { return GetParam().path; }
};

// The fixture of a runner over an array of path descriptions, each with a
// PathInfo member `info`; this_path() is the run's.
template <const auto &kPaths>
class PathRunner : public VectorRunner {
 protected:
  const PathInfo &path_info(size_t p) const override { return kPaths[p].info; }
  const auto &this_path() const { return kPaths[path()]; }
};

const char *no_avx512_vbmi();  // nullptr when the processor has AVX-512 VBMI
const char *no_avx512_gfni();  // ... AVX-512 VBMI and GFNI
const char *no_clmul();        // ... PCLMULQDQ and SSSE3

}  // namespace zor::test

// One runner: Fixture derives from VectorRunner over the array kPaths of
// path descriptions (each with a PathInfo member `info`).
#define ZOR_VECTOR_RUNNER(Fixture, kPaths)                                                  \
  INSTANTIATE_TEST_SUITE_P(                                                                 \
      Paths, Fixture, ::testing::ValuesIn(::zor::test::every_run(std::size(kPaths))),       \
      [](const ::testing::TestParamInfo<::zor::test::Run> &i) {                            \
        return ::zor::test::run_name(i.param, kPaths[i.param.path].info);                   \
      })
