// libFuzzer target: the rtnetlink datagrams zornfhost's link monitor reads.
// Input: one whole datagram, exactly as recv() would deliver it.
#include <cstring>
#include <memory>

#include "host/link_monitor.h"
#include "tests/common/fuzz_support.h"
#include "tests/host/link_messages.h"

namespace {

using namespace linktest;

zor::fuzz::Seeds MakeSeeds() {
  // A last message whose length is not a multiple of 4.
  Bytes odd = LinkMessage(RTM_NEWLINK, 7, "ztap0");
  odd.pop_back();
  odd = WithLength(odd, static_cast<uint32_t>(odd.size()));
  return {
      {"newlink", LinkMessage(RTM_NEWLINK, 3, "ztap0")},
      {"del-then-new", Joined({LinkMessage(RTM_DELLINK, 3, "ztap0"), LinkMessage(RTM_NEWLINK, 4, "ztap1")})},
      {"new-then-done", Joined({LinkMessage(RTM_NEWLINK, 5, "ztap2"), DoneMessage()})},
      {"unaligned-last", Joined({LinkMessage(RTM_NEWLINK, 6, "ztap3"), odd})},
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An exact heap copy, aligned as recv()'s buffer is.
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[size ? size : 1]);
  if (size) memcpy(datagram.get(), data, size);
  zornfhost::link_indexes(datagram.get(), size, RTM_NEWLINK);
  zornfhost::link_indexes(datagram.get(), size, RTM_DELLINK);
  return 0;
}
