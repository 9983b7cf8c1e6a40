// The TAP writer on a device that cannot cut UDP runs: the linker hands the
// writer's writev to the test, which refuses every write of a UDP run with
// EINVAL, as such a kernel does, and takes every other write. The refused
// run's datagrams then leave one by one, each once and in their order, and
// the writer tries no run of UDP again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "host/tap_writer.h"
#include "offload/vnet_header.h"
#include "tests/offload/runs.h"

namespace {

using zor::offload::kVnetGsoUdpL4;
using zor::offload::VnetHeader;
using Bytes = std::vector<uint8_t>;

// A write the device saw: its virtio-net header's segmentation, its bytes.
struct Seen {
  uint8_t gso_type;
  Bytes bytes;
};

int tap_fd = -1;  // the writer's device
std::mutex seen_mu;
std::condition_variable seen_more;
std::vector<Seen> seen;

}  // namespace

extern "C" {
ssize_t __real_writev(int fd, const iovec *iov, int count);

ssize_t __wrap_writev(int fd, const iovec *iov, int count) {
  if (fd != tap_fd || count < 1 || iov[0].iov_len != sizeof(VnetHeader))
    return __real_writev(fd, iov, count);
  Seen w{static_cast<const VnetHeader *>(iov[0].iov_base)->gso_type, {}};
  for (int k = 1; k < count; k++) {
    const auto *p = static_cast<const uint8_t *>(iov[k].iov_base);
    w.bytes.insert(w.bytes.end(), p, p + iov[k].iov_len);
  }
  const bool refused = w.gso_type == kVnetGsoUdpL4;
  const ssize_t len = static_cast<ssize_t>(sizeof(VnetHeader) + w.bytes.size());
  {
    std::lock_guard<std::mutex> lock(seen_mu);
    seen.push_back(std::move(w));
  }
  seen_more.notify_all();
  if (!refused) return len;
  errno = EINVAL;
  return -1;
}
}

namespace {

using zor::offload::FrameBytes;
using zornfhost::TapWriter;

class TapWriterRefusalTest : public testing::Test {
 protected:
  void SetUp() override {
    tap_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(tap_fd, 0);
    writer.Start(tap_fd, &lost);
  }
  void TearDown() override {
    writer.Stop();
    close(tap_fd);
    tap_fd = -1;
  }
  // Datagrams `from` to `to` - 1 of one flow, 1000 bytes each: one run.
  void Queue(uint16_t from, uint16_t to) {
    std::vector<FrameBytes> views;
    for (uint16_t id = from; id < to; id++) {
      frames.push_back(runs::frame(runs::Datagram{id, 1000}));
      views.push_back({frames.back().data(), frames.back().size()});
    }
    ASSERT_TRUE(writer.Queue(views.data(), views.size()));
  }
  // Waits until the device has seen `n` writes.
  bool WaitSeen(size_t n) {
    std::unique_lock<std::mutex> lock(seen_mu);
    return seen_more.wait_for(lock, std::chrono::seconds(10), [n] { return seen.size() >= n; });
  }

  std::vector<Bytes> frames;  // all queued, in order
  std::atomic<unsigned long> lost{0};
  TapWriter writer;
};

TEST_F(TapWriterRefusalTest, ARefusedUdpRunLeavesDatagramByDatagramAndNoRunIsTriedAgain) {
  Queue(100, 105);
  ASSERT_TRUE(WaitSeen(1 + 5)) << "the run refused, then its datagrams";
  Queue(105, 110);
  writer.Stop();
  std::lock_guard<std::mutex> lock(seen_mu);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].gso_type, kVnetGsoUdpL4) << "the first five datagrams tried as a run";
  std::vector<Bytes> after;
  for (size_t k = 1; k < seen.size(); k++) {
    EXPECT_NE(seen[k].gso_type, kVnetGsoUdpL4) << "write " << k << " is a run, once refused";
    after.push_back(seen[k].bytes);
  }
  EXPECT_EQ(after, frames) << "each datagram once, in order";
  EXPECT_EQ(lost, 0u);
}

}  // namespace
