// The TAP writer, writing to one end of a socket pair for a TAP: frames
// leave in the order queued, each behind its virtio-net header; handing
// frames over never waits, not even while the TAP takes nothing, and what
// finds no room is counted lost.
#include "host/tap_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include "offload/vnet_header.h"

namespace {

using zor::offload::FrameBytes;
using zornfhost::TapWriter;
using Bytes = std::vector<uint8_t>;

class TapWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // a write after the TearDown's shutdown fails
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  }
  void TearDown() override {
    ShutBothEnds();
    writer.Stop();
    close(fds[0]);
    close(fds[1]);
  }

  // Frames that are not TCP, so that each is written alone: the n-th of
  // `len` bytes carries n.
  static std::vector<Bytes> Frames(size_t count, size_t len) {
    std::vector<Bytes> out;
    for (size_t n = 0; n < count; n++) {
      Bytes f(len, static_cast<uint8_t>(n));
      f[12] = 0x88, f[13] = 0xB5;
      out.push_back(f);
    }
    return out;
  }
  bool Queue(const std::vector<Bytes> &frames) {
    std::vector<FrameBytes> views;
    for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
    return writer.Queue(views.data(), views.size());
  }
  // Reads what the writer wrote, each write without its header, until the
  // writer's end is shut (EndWriting).
  std::vector<Bytes> Written() {
    std::vector<Bytes> out;
    std::vector<uint8_t> buf(70000);
    ssize_t n;
    while ((n = recv(fds[1], buf.data(), buf.size(), 0)) > 0) {
      EXPECT_GE(n, 10);
      out.emplace_back(buf.begin() + sizeof(zor::offload::VnetHeader), buf.begin() + n);
    }
    return out;
  }
  // Reads what is written from now on, on a thread of its own.
  void StartReading() { written = std::async(std::launch::async, [this] { return Written(); }); }
  // Ends every write and read that may still wait.
  void ShutBothEnds() {
    shutdown(fds[0], SHUT_RDWR);
    shutdown(fds[1], SHUT_RDWR);
  }
  // Writes what is queued, ends the writer and returns what was read.
  std::vector<Bytes> EndWriting() {
    if (!written.valid()) StartReading();
    writer.Stop();
    shutdown(fds[0], SHUT_WR);
    if (written.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the writer's frames were not all read within 10 s";
      ShutBothEnds();
    }
    return written.get();
  }

  int fds[2] = {-1, -1};
  std::atomic<unsigned long> lost{0};
  TapWriter writer;
  std::future<std::vector<Bytes>> written;
};

TEST_F(TapWriterTest, FramesLeaveInTheOrderQueued) {
  EXPECT_FALSE(Queue(Frames(1, 60))) << "taken before the writer started";
  writer.Start(fds[0], &lost);
  StartReading();
  std::vector<Bytes> frames = Frames(300, 200);
  ASSERT_TRUE(Queue({frames.begin(), frames.begin() + 100}));
  ASSERT_TRUE(Queue({frames.begin() + 100, frames.end()}));
  EXPECT_EQ(EndWriting(), frames);
  EXPECT_FALSE(Queue(Frames(1, 60))) << "taken after the writer stopped";
  EXPECT_EQ(lost, 0u);
}

TEST_F(TapWriterTest, HandingOverNeverWaitsForTheTapAndWhatFindsNoRoomIsLost) {
  writer.Start(fds[0], &lost);
  // 12 MiB while nothing reads the TAP: the writer soon waits in its write,
  // its queue holds 4 MiB, the rest is lost.
  const std::vector<Bytes> frames = Frames(12 * 1024, 1024);
  auto queued = std::async(std::launch::async, [&] { return Queue(frames); });
  if (queued.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ShutBothEnds();
    FAIL() << "Queue waited for the TAP";
  }
  EXPECT_TRUE(queued.get());
  EXPECT_GT(lost, 0u);
  const std::vector<Bytes> out = EndWriting();
  EXPECT_EQ(out.size() + lost, frames.size());
  // What was written is the first frames, in order.
  EXPECT_TRUE(std::equal(out.begin(), out.end(), frames.begin()));
}

}  // namespace
