// The link monitor's reading of rtnetlink datagrams: which messages count as
// link changes or removals, and that nothing past the datagram is read. The datagram
// sits at the front of a larger buffer, as in the monitor's receive buffer,
// whose stale bytes behind it hold another link message.
#include <gtest/gtest.h>

#include <vector>

#include "host/link_monitor.h"
#include "tests/host/link_messages.h"

namespace {

using namespace linktest;

struct Case {
  const char *name;
  Bytes datagram;
  std::vector<int> expected;
  uint16_t type = RTM_NEWLINK;  // the messages read
};

Bytes Unaligned(int ifindex) {
  Bytes m = LinkMessage(RTM_NEWLINK, ifindex, "ztap0");
  m.pop_back();
  return WithLength(m, static_cast<uint32_t>(m.size()));
}

TEST(LinkMonitorTest, ReadsLinkMessagesOfTheDatagramOnly) {
  const Bytes link3 = LinkMessage(RTM_NEWLINK, 3, "ztap0");
  const Case cases[] = {
      {"two new links", Joined({link3, LinkMessage(RTM_NEWLINK, 4, "ztap1")}), {3, 4}},
      {"removed link and done", Joined({LinkMessage(RTM_DELLINK, 5, "ztap0"), link3, DoneMessage()}), {3}},
      {"the removed link of them", Joined({LinkMessage(RTM_DELLINK, 5, "ztap0"), link3, DoneMessage()}), {5},
       RTM_DELLINK},
      {"shorter than its link header",
       Joined({WithLength(LinkMessage(RTM_NEWLINK, 5, "ztap0"), NLMSG_LENGTH(sizeof(ifinfomsg)) - 1), link3}),
       {}},
      {"length past the datagram", Joined({link3, WithLength(link3, 4096)}), {3}},
      {"length below the header", Joined({WithLength(link3, 8), link3}), {}},
      {"unaligned last message", Joined({link3, Unaligned(6)}), {3, 6}},
      {"unaligned only message", Unaligned(6), {6}},
      {"part of a header", Bytes(link3.begin(), link3.begin() + 12), {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer = c.datagram;
    buffer.resize((buffer.size() + 3) & ~size_t{3}, 0);
    Bytes stale = LinkMessage(RTM_NEWLINK, 99, "stale");
    buffer.insert(buffer.end(), stale.begin(), stale.end());
    EXPECT_EQ(zornfhost::link_indexes(buffer.data(), c.datagram.size(), c.type), c.expected);
  }
}

}  // namespace
