// The kernel host of the freestanding crypto build's tests: vector-unit
// sections that it grants or refuses, counted.
#pragma once

namespace zor::test {

struct FpuHost {
  bool grant = true;
  int open = 0, granted = 0, refused = 0;
  bool unbalanced = false;  // KERN_fpu_end without a granted section
};
extern FpuHost fpu_host;

}  // namespace zor::test
