// The simulator's tunnel device, opened as the simulator opens it (a TUN
// without link header, offering its reader checksum and TCP segmentation
// offload only), in a network namespace of the test's own: the client's
// UDP datagrams written as the data side writes them, runs of one flow
// coalesced, reach a UDP socket as the datagrams, in order, in fewer writes
// than datagrams, and one with a wrong checksum is still dropped.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "offload/coalesce.h"
#include "tests/common/links.h"
#include "tests/offload/runs.h"
#include "tools/gwsim/tun_device.h"

namespace gwsim {
namespace {

using runs::Bytes;
using zor::offload::FrameBytes;
using zor::offload::Link;

constexpr char kTun[] = "gwrun0";

TEST(GwsimTun, UdpRunsReachTheSocketAsTheDatagramsWritten) {
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "a namespace of the test's own (needs root)";
  const int tun = OpenTun(kTun);
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  ASSERT_TRUE(zor::links::set_address(sock, kTun, "192.0.2.1", "255.255.255.0"));
  ASSERT_TRUE(zor::links::set_flags(sock, kTun, IFF_UP));
  int size = 8 << 20;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  ASSERT_TRUE(zor::links::bind_to(sock, "192.0.2.1", 5000));

  std::vector<Bytes> packets, payloads;
  for (const runs::Datagram &d : runs::mixed_datagrams()) {
    packets.push_back(runs::for_link(Link::kNone, runs::frame(d)));
    if (!d.udp_csum_xor) payloads.emplace_back(packets.back().begin() + 28, packets.back().end());
  }
  std::vector<FrameBytes> views;
  for (const Bytes &p : packets) views.push_back({p.data(), p.size()});
  std::atomic<bool> udp_runs{true};
  WritePackets(tun, zor::offload::plan_writes(views.data(), views.size(), Link::kNone, true),
               views.data(), &udp_runs);

  const std::vector<Bytes> got = zor::links::read_until_idle(sock);
  EXPECT_TRUE(got == payloads) << got.size() << " datagrams of " << payloads.size()
                               << ": all but the one with a wrong checksum, in order";
  EXPECT_TRUE(udp_runs) << "the device took the runs";
  EXPECT_LT(zor::links::rx_packets(kTun), static_cast<long>(packets.size()) / 10)
      << "written as runs";
  close(sock);
  close(tun);
}

}  // namespace
}  // namespace gwsim
