// No framed request is served yet: every one is "not possible".
#include "kernel/filter/request_dispatcher.h"

extern "C" int32_t internal_FilterGetInformation(uint32_t, uint8_t *, uint32_t, uint32_t) {
  return -5;
}
