// The TAP writer on a real TAP, opened as zornfhost opens it, in a network
// namespace of the test's own: runs of UDP datagrams reach a UDP socket as
// the datagrams queued, in order, in fewer writes than datagrams, and one
// with a wrong checksum is still dropped; where the kernel refuses the runs
// (as one without UDP_L4 does), every datagram still arrives.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/adapter_pairs.h"
#include "host/tap_writer.h"
#include "tests/host/tap_runs.h"

namespace {

using tap_runs::Bytes;
using tap_runs::Datagram;
using zornfhost::FrameBytes;

constexpr char kTap[] = "taprun0";

bool set_flags(int s, const char *dev, short flags) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, dev, IFNAMSIZ - 1);
  ifr.ifr_flags = flags;
  return ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
}

bool set_address(int s, const char *dev, const char *addr, const char *mask) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, dev, IFNAMSIZ - 1);
  auto *in = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, addr, &in->sin_addr);
  if (ioctl(s, SIOCSIFADDR, &ifr) != 0) return false;
  inet_pton(AF_INET, mask, &in->sin_addr);
  return ioctl(s, SIOCSIFNETMASK, &ifr) == 0;
}

// The packets the device took from its writer (/proc/net/dev).
long tap_rx_packets() {
  std::ifstream dev("/proc/net/dev");
  std::string line;
  while (std::getline(dev, line)) {
    std::istringstream in(line);
    std::string name;
    long bytes, packets;
    if (in >> name >> bytes >> packets && name == std::string(kTap) + ":") return packets;
  }
  return -1;
}

class TapRunTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "a namespace of the test's own (needs root)";
  }

  void SetUp() override {
    tap = zornfhost::open_tap(kTap);
    ASSERT_GE(tap, 0) << strerror(errno);
    sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    ASSERT_TRUE(set_flags(sock, "lo", IFF_UP));
    ASSERT_TRUE(set_address(sock, kTap, "192.0.2.1", "255.255.255.0"));
    ASSERT_TRUE(set_flags(sock, kTap, IFF_UP));
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, kTap);
    ASSERT_EQ(ioctl(sock, SIOCGIFHWADDR, &ifr), 0);
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    int size = 8 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(5000);
    inet_pton(AF_INET, "192.0.2.1", &at.sin_addr);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  }
  void TearDown() override {
    writer.Stop();
    close(sock);
    close(tap);
  }

  // Runs of one flow: 40 of 1200 bytes and a shorter last, 30 with DF and
  // identifications as they come, 100 of 100 bytes (more than one run
  // holds), one without a checksum; one with a wrong checksum among them.
  void MakeDatagrams() {
    uint16_t id = 65500;
    for (int i = 0; i < 40; i++) Add({id++, i < 39 ? 1200u : 333u});
    for (int i = 0; i < 30; i++) Add({static_cast<uint16_t>(7 * i), 1000, 0x4000});
    for (int i = 0; i < 100; i++) {
      Datagram d{id++, 100};
      d.udp_csum_xor = i == 50 ? 0x0400 : 0;
      Add(d);
    }
    Datagram none{id++, 100};
    none.no_udp_csum = true;
    Add(none);
    for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
  }
  void Add(const Datagram &d) {
    frames.push_back(tap_runs::frame(d, mac));
    if (!d.udp_csum_xor) payloads.emplace_back(frames.back().begin() + 42, frames.back().end());
  }

  // Queues the datagrams in three hand-overs, ends the writer, and reads
  // what reached the socket.
  std::vector<Bytes> Deliver() {
    const size_t third = views.size() / 3;
    EXPECT_TRUE(writer.Queue(views.data(), third));
    EXPECT_TRUE(writer.Queue(views.data() + third, third));
    EXPECT_TRUE(writer.Queue(views.data() + 2 * third, views.size() - 2 * third));
    writer.Stop();
    std::vector<Bytes> out;
    Bytes buf(70000);
    pollfd p{sock, POLLIN, 0};
    while (poll(&p, 1, 500) == 1) {
      ssize_t n = recv(sock, buf.data(), buf.size(), 0);
      if (n < 0) break;
      out.emplace_back(buf.begin(), buf.begin() + n);
    }
    return out;
  }

  int tap = -1, sock = -1;
  uint8_t mac[6];
  std::vector<Bytes> frames, payloads;
  std::vector<FrameBytes> views;
  std::atomic<unsigned long> lost{0};
  zornfhost::TapWriter writer;
};

TEST_F(TapRunTest, RunsReachTheSocketAsTheDatagramsQueued) {
  MakeDatagrams();
  writer.Start(tap, &lost);
  const std::vector<Bytes> got = Deliver();
  EXPECT_TRUE(got == payloads) << got.size() << " datagrams of " << payloads.size()
                               << ": all but the one with a wrong checksum, in order";
  EXPECT_EQ(lost, 0u);
  EXPECT_LT(tap_rx_packets(), static_cast<long>(frames.size()) / 10) << "written as runs";
}

// Refuses writev of more than two pieces (a run's) with EINVAL, on the
// calling thread and the threads it starts.
bool refuse_runs() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_writev, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
}

TEST_F(TapRunTest, WhereTheKernelRefusesRunsEveryDatagramStillArrives) {
  MakeDatagrams();
  int refused = -1;  // errno of the filter's set-up, 0 once in place
  std::thread([&] {
    refused = refuse_runs() ? 0 : errno;
    if (!refused) writer.Start(tap, &lost);
  }).join();
  ASSERT_EQ(refused, 0) << strerror(refused);
  const std::vector<Bytes> got = Deliver();
  EXPECT_TRUE(got == payloads) << got.size() << " datagrams of " << payloads.size();
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(tap_rx_packets(), static_cast<long>(frames.size())) << "written one by one";
}

}  // namespace
