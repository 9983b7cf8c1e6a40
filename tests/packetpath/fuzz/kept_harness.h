// What the packet path's fuzz targets share: the harness they keep across
// inputs, and their start-up.
#pragma once
#include <memory>

#include "tests/common/fuzz_support.h"
#include "tests/packetpath/harness.h"

namespace pp {

// The harness a target keeps from one input to the next; empty at first.
std::unique_ptr<Harness> &KeptHarness();

// A target's LLVMFuzzerInitialize: writes its seeds when asked; makes the
// test host first, so that it outlives the kept harness, which is dropped
// when the process exits.
int InitializeFuzzTarget(zor::fuzz::Seeds (*make_seeds)());

}  // namespace pp
