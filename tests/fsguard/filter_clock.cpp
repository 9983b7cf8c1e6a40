// The guard takes its clock from the filter (DrvGetCurFtime); the guard's
// tests run without the filter, so the test host's DOS date-time stands in.
#include <cstdint>

#include "tests/host/test_host.h"

extern "C" uint32_t DrvGetCurFtime(uint64_t *stamp) {
  if (stamp != nullptr) {
    *stamp = 0;
    return 0;
  }
  return testhost::state().dos_now;
}
