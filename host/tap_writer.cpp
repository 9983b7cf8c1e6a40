#include "host/tap_writer.h"

#include <pthread.h>

#include <algorithm>

namespace zornfhost {

using zor::offload::FrameBytes;
using zor::offload::kRunPackets;
using zor::offload::Link;
using zor::offload::plan_writes;
using zor::offload::write_planned;

void TapWriter::Start(int tap_fd, std::atomic<unsigned long> *lost) {
  std::lock_guard<std::mutex> lock(mu_);
  if (running_) return;
  fd_ = tap_fd;
  lost_ = lost;
  running_ = true;
  queued_.bytes.reserve(kTapQueueBytes);
  thread_ = std::thread(&TapWriter::Loop, this);
}

void TapWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
  }
  more_.notify_one();
  if (thread_.joinable()) thread_.join();
}

bool TapWriter::Queue(const FrameBytes *frames, size_t count) {
  size_t lost = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!running_) return false;
    for (size_t k = 0; k < count; k++) {
      if (kTapQueueBytes - queued_.bytes.size() < frames[k].len) {
        lost++;
        continue;
      }
      queued_.bytes.insert(queued_.bytes.end(), frames[k].data, frames[k].data + frames[k].len);
      queued_.lengths.push_back(frames[k].len);
    }
  }
  more_.notify_one();
  *lost_ += lost;
  return true;
}

void TapWriter::Loop() {
  pthread_setname_np(pthread_self(), "zornf-tap");
  Pending writing;
  writing.bytes.reserve(kTapQueueBytes);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    more_.wait(lock, [this] { return !queued_.lengths.empty() || !running_; });
    if (queued_.lengths.empty()) return;  // stopped, and everything written
    std::swap(writing, queued_);
    lock.unlock();
    Write(writing);
    writing.bytes.clear();
    writing.lengths.clear();
    lock.lock();
  }
}

void TapWriter::Write(const Pending &pending) {
  FrameBytes frames[kRunPackets];
  const uint8_t *at = pending.bytes.data();
  for (size_t first = 0; first < pending.lengths.size(); first += kRunPackets) {
    const size_t n = std::min(kRunPackets, pending.lengths.size() - first);
    for (size_t k = 0; k < n; k++) {
      frames[k] = {at, pending.lengths[first + k]};
      at += frames[k].len;
    }
    const auto writes = plan_writes(frames, n, Link::kEthernet, udp_runs_);
    *lost_ += write_planned(fd_, writes, frames, &udp_runs_);
  }
}

}  // namespace zornfhost
