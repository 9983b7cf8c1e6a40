// Wiping of secrets: a clear that the compiler may not drop as a dead store.
#pragma once
#include "crypto/platform.h"

namespace zor::crypto {
inline void wipe(void *p, size_t n) {
  memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}
}  // namespace zor::crypto
