// zornfhost's completions with two adapter pairs: every buffer written for
// the filter is reported to the pair it was written on, in the order
// written, whichever way the two pairs' buffers were mixed.
#include "host/completions.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "kern_host.h"

namespace {

using zornfhost::AdapterPair;
using zornfhost::HostNetbuf;

// What the library was told: each buffer with the pair it was reported to.
std::vector<std::pair<void *, void *>> reported;

TEST(Completions, EachPairGetsItsOwnBuffersInTheOrderWritten) {
  // Two pairs; the library only compares their addresses.
  char pair_a, pair_b;
  void *pairs[] = {&pair_a, &pair_b};
  const int order[] = {0, 0, 1, 0, 1, 1, 1, 0};
  std::vector<std::pair<void *, void *>> expected;
  for (int which : order) {
    const uint8_t byte = static_cast<uint8_t>(expected.size());
    void *nb = KERN_netbuf_alloc(pairs[which], &byte, 1, 1);
    ASSERT_NE(nb, nullptr);
    zornfhost::queue_completion(static_cast<HostNetbuf *>(nb));
    expected.emplace_back(nb, pairs[which]);
  }
  reported.clear();
  zornfhost::report_completions();
  EXPECT_EQ(reported, expected);
  reported.clear();
  zornfhost::report_completions();
  EXPECT_TRUE(reported.empty()) << "a buffer was reported twice";
}

}  // namespace

// The library's entry point, as the host calls it.
extern "C" void Zor_net_inputoutput_complete_batch(void **netbufs, uint32_t count, void *netdev) {
  for (uint32_t k = 0; k < count; k++) reported.emplace_back(netbufs[k], netdev);
}
