#include "tests/packetpath/fuzz/kept_harness.h"

#include <cstdlib>

#include "tests/host/test_host.h"

namespace pp {

std::unique_ptr<Harness> &KeptHarness() {
  static std::unique_ptr<Harness> harness;
  return harness;
}

int InitializeFuzzTarget(zor::fuzz::Seeds (*make_seeds)()) {
  zor::fuzz::WriteSeedsIfAsked(make_seeds);
  testhost::state();
  atexit([] { KeptHarness().reset(); });
  return 0;
}

}  // namespace pp
