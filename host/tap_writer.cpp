#include "host/tap_writer.h"

#include <pthread.h>
#include <sys/uio.h>

#include <algorithm>

#include "host/tap_coalesce.h"

namespace zornfhost {
namespace {
// Frames planned and written per round of writev calls.
constexpr size_t kWriteBatch = 64;
}  // namespace

void TapWriter::Start(int tap_fd, std::atomic<unsigned long> *lost) {
  std::lock_guard<std::mutex> lock(mu_);
  if (running_) return;
  fd_ = tap_fd;
  lost_ = lost;
  running_ = true;
  queue_.reserve(kTapQueueFrames);
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

bool TapWriter::Queue(HostNetbuf *const *nbs, size_t count) {
  size_t kept;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!running_) return false;
    kept = std::min(count, kTapQueueFrames - queue_.size());
    queue_.insert(queue_.end(), nbs, nbs + kept);
  }
  more_.notify_one();
  for (size_t k = kept; k < count; k++) {
    (*lost_)++;
    queue_completion(nbs[k]);
  }
  return true;
}

void TapWriter::Loop() {
  pthread_setname_np(pthread_self(), "zornf-tap");
  std::vector<HostNetbuf *> frames;
  frames.reserve(kTapQueueFrames);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    more_.wait(lock, [this] { return !queue_.empty() || !running_; });
    if (queue_.empty()) return;  // stopped, and everything written
    frames.swap(queue_);
    lock.unlock();
    Write(frames);
    frames.clear();
    report_completions();
    lock.lock();
  }
}

// Like a device's queue, the writer owns the frames: a write that fails is
// a frame lost on the wire, and its completion comes all the same.
void TapWriter::Write(const std::vector<HostNetbuf *> &frames) {
  FrameBytes bytes[kWriteBatch];
  iovec iov[2 + kWriteBatch];
  for (size_t first = 0; first < frames.size(); first += kWriteBatch) {
    const size_t n = std::min(kWriteBatch, frames.size() - first);
    for (size_t k = 0; k < n; k++) bytes[k] = {frames[first + k]->data, frames[first + k]->len};
    for (const TapWrite &w : plan_tap_writes(bytes, n)) {
      size_t parts = tap_write_iov(w, bytes, iov);
      if (writev(fd_, iov, static_cast<int>(parts)) < 0) *lost_ += w.frames;
    }
    for (size_t k = 0; k < n; k++) queue_completion(frames[first + k]);
  }
}

}  // namespace zornfhost
