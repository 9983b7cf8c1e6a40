// What the crypto code needs of its surroundings, in both builds: memory
// functions and the vector-unit section. The kernel build gets them from the
// host layer; the hosted build from libc, with the vector unit always granted.
#pragma once
#include <stddef.h>
#include <stdint.h>

#if ZOR_KERNEL
#include "kern_host.h"
namespace zor::crypto {
inline bool fpu_begin() { return KERN_fpu_try_begin() != 0; }
inline void fpu_end() { KERN_fpu_end(); }
}  // namespace zor::crypto
#else
#include <cstring>
namespace zor::crypto {
inline bool fpu_begin() { return true; }
inline void fpu_end() {}
}  // namespace zor::crypto
#endif
