// The TAP writer on a real TAP, opened as zornfhost opens it, in a network
// namespace of the test's own: runs of UDP datagrams reach a UDP socket as
// the datagrams queued, in order, in fewer writes than datagrams, and one
// with a wrong checksum is still dropped; forwarded, they leave as the same
// bytes as when written one by one; where the kernel refuses the runs (as
// one without UDP_L4 does), every datagram still arrives. A TCP segment
// with a wrong checksum inside a run is dropped by the stack, the segments
// around it taken.
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
#include <string>
#include <thread>
#include <vector>

#include "host/adapter_pairs.h"
#include "host/tap_writer.h"
#include "offload/checksum.h"
#include "tests/common/links.h"
#include "tests/offload/runs.h"

namespace {

using runs::Bytes;
using runs::Datagram;
using zor::links::add_neighbour;
using zor::links::bind_to;
using zor::links::read_until_idle;
using zor::links::rx_packets;
using zor::links::set_address;
using zor::links::set_flags;
using zor::offload::FrameBytes;
using zor::offload::VnetHeader;

constexpr char kTap[] = "taprun0";
// Where datagrams to 192.0.2.200 are forwarded to.
constexpr char kOut[] = "taprun1";
constexpr uint8_t kForwardedHost = 200;

// Writes a frame to the TAP alone, as the writer writes a frame of no run.
bool write_alone(int tap, const Bytes &f) {
  const VnetHeader none{};
  iovec iov[2] = {{const_cast<VnetHeader *>(&none), sizeof none},
                  {const_cast<uint8_t *>(f.data()), f.size()}};
  return writev(tap, iov, 2) > 0;
}

long tap_rx_packets() { return rx_packets(kTap); }

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
    ASSERT_TRUE(bind_to(sock, "192.0.2.1", 5000));
  }
  void TearDown() override {
    writer.Stop();
    close(sock);
    close(tap);
  }

  // runs::mixed_datagrams to 192.0.2.`dst_host`; the payloads of all but
  // the one with a wrong checksum.
  void MakeDatagrams(uint8_t dst_host = 1) {
    for (const Datagram &d : runs::mixed_datagrams(dst_host)) {
      frames.push_back(runs::frame(d, mac));
      if (!d.udp_csum_xor) payloads.emplace_back(frames.back().begin() + 42, frames.back().end());
    }
    for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
  }

  // Queues the datagrams in three hand-overs and ends the writer.
  void HandOver() {
    const size_t third = views.size() / 3;
    EXPECT_TRUE(writer.Queue(views.data(), third));
    EXPECT_TRUE(writer.Queue(views.data() + third, third));
    EXPECT_TRUE(writer.Queue(views.data() + 2 * third, views.size() - 2 * third));
    writer.Stop();
  }

  // Hands the datagrams over and reads what reached the socket.
  std::vector<Bytes> Deliver() {
    HandOver();
    return read_until_idle(sock);
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

// A device for the forwarded datagrams (192.0.2.128/25 and a neighbour at
// .200), read as zornfhost reads its TAP.
class TapForwardTest : public TapRunTest {
 protected:
  void SetUp() override {
    TapRunTest::SetUp();
    out = zornfhost::open_tap(kOut);
    ASSERT_GE(out, 0) << strerror(errno);
    ASSERT_TRUE(set_address(sock, kOut, "192.0.2.129", "255.255.255.128"));
    ASSERT_TRUE(set_flags(sock, kOut, IFF_UP));
    ASSERT_TRUE(add_neighbour(sock, kOut, "192.0.2.200", "\x02\x00\x00\x00\x00\xC8"))
        << strerror(errno);
    std::ofstream("/proc/sys/net/ipv4/ip_forward") << "1\n";
  }
  void TearDown() override {
    close(out);
    TapRunTest::TearDown();
  }

  // The datagrams forwarded so far, their checksums completed; DF ones
  // without their identification and header checksum.
  std::vector<Bytes> Forwarded() {
    std::vector<Bytes> got;
    for (const Bytes &frame : read_until_idle(out)) {
      if (frame.size() < sizeof(VnetHeader) + 42) continue;
      VnetHeader vnet;
      std::memcpy(&vnet, frame.data(), sizeof vnet);
      Bytes f(frame.begin() + sizeof vnet, frame.end());
      if (load_be16(&f[12]) != 0x0800 || f[14 + 9] != 17) continue;  // the device's own
      uint16_t saved;
      if (vnet.flags & zor::offload::kVnetNeedsCsum) {
        EXPECT_TRUE(zor::offload::complete_partial_checksum(vnet, f.data(), f.size(), &saved));
      }
      if (load_be16(&f[14 + 6]) & 0x4000)
        for (size_t at : {14 + 4, 14 + 5, 14 + 10, 14 + 11}) f[at] = 0;
      got.push_back(f);
    }
    return got;
  }

  int out = -1;
};

TEST_F(TapForwardTest, ForwardedRunsLeaveAsTheDatagramsWrittenOneByOne) {
  MakeDatagrams(kForwardedHost);
  for (const Bytes &f : frames) ASSERT_TRUE(write_alone(tap, f));
  const std::vector<Bytes> alone = Forwarded();
  EXPECT_EQ(alone.size(), frames.size()) << "forwarding checks no UDP checksum";
  writer.Start(tap, &lost);
  HandOver();
  const std::vector<Bytes> runs = Forwarded();
  EXPECT_TRUE(runs == alone) << runs.size() << " forwarded of " << alone.size();
  EXPECT_LT(tap_rx_packets(), static_cast<long>(2 * frames.size())) << "written as runs";
}

// A TCP connection of 192.0.2.2:4000 to a listener at 192.0.2.1:5000, its
// far end played on the TAP.
class TapTcpTest : public TapRunTest {
 protected:
  void SetUp() override {
    TapRunTest::SetUp();
    ASSERT_TRUE(add_neighbour(sock, kTap, "192.0.2.2", "\x02\x00\x00\x00\x00\x02"))
        << strerror(errno);
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(bind_to(listener, "192.0.2.1", 5000));
    ASSERT_EQ(listen(listener, 1), 0);
  }
  void TearDown() override {
    close(conn);
    close(listener);
    TapRunTest::TearDown();
  }

  runs::Segment Seg(uint32_t offset, size_t len, uint8_t flags = 0x10) const {
    runs::Segment s{kFirst + offset, len, flags, their_isn + 1, 65535};
    s.timestamps = false;
    return s;
  }

  // The handshake: a SYN written, the SYN-ACK read from the TAP, the ACK.
  void Connect() {
    runs::Segment syn = Seg(0, 0, 0x02);
    syn.seq = kFirst - 1;
    syn.ack = 0;
    ASSERT_TRUE(write_alone(tap, runs::frame(syn, mac)));
    Bytes buf(70000);
    pollfd p{tap, POLLIN, 0};
    bool answered = false;
    while (!answered && poll(&p, 1, 2000) == 1) {
      ssize_t n = read(tap, buf.data(), buf.size());
      const uint8_t *f = buf.data() + sizeof(VnetHeader);
      answered = n >= static_cast<ssize_t>(sizeof(VnetHeader) + 14 + 40) &&
                 load_be16(f + 12) == 0x0800 && f[14 + 9] == 6 && f[34 + 13] == 0x12;
      if (answered) their_isn = load_be32(f + 34 + 4);
    }
    ASSERT_TRUE(answered) << "the listener's SYN-ACK";
    ASSERT_TRUE(write_alone(tap, runs::frame(Seg(0, 0), mac)));
    pollfd l{listener, POLLIN, 0};
    ASSERT_EQ(poll(&l, 1, 2000), 1);
    conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn, 0);
  }

  // What the connection reads until nothing comes for 500 ms.
  Bytes Read() {
    Bytes out;
    for (const Bytes &b : read_until_idle(conn)) out.insert(out.end(), b.begin(), b.end());
    return out;
  }

  static constexpr uint32_t kFirst = 1000;  // the first data byte's sequence number
  uint32_t their_isn = 0;
  int listener = -1, conn = -1;
};

TEST_F(TapTcpTest, ASegmentWithAWrongChecksumInARunIsDroppedAndTheOthersArrive) {
  Connect();
  ASSERT_GE(conn, 0);
  // Eight segments of 1000 bytes; the fourth arrives with a byte changed
  // after its checksum was made.
  Bytes stream;
  for (uint32_t i = 0; i < 8; i++) {
    frames.push_back(runs::frame(Seg(1000 * i, 1000), mac));
    stream.insert(stream.end(), frames.back().begin() + 54, frames.back().end());
  }
  const Bytes right = frames[3];
  frames[3].back() ^= 1;
  for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
  const long written_before = tap_rx_packets();
  writer.Start(tap, &lost);
  HandOver();
  EXPECT_LT(tap_rx_packets() - written_before, 8) << "written as runs";
  const Bytes before = Read();
  EXPECT_TRUE(before == Bytes(stream.begin(), stream.begin() + 3000))
      << before.size() << " bytes read: the 3000 before the changed segment, nothing of it";
  // Sent again as it was meant, it fills the gap: the segments after it
  // were taken and waited.
  ASSERT_TRUE(write_alone(tap, right));
  const Bytes after = Read();
  EXPECT_TRUE(after == Bytes(stream.begin() + 3000, stream.end()))
      << after.size() << " bytes read of the 5000 from the changed segment on";
  EXPECT_EQ(lost, 0u);
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
