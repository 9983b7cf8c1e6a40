#include "host/flow_gate.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zornfhost {

FlowGate::FlowGate() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

FlowGate::~FlowGate() {
  if (wake_fd_ >= 0) close(wake_fd_);
}

void FlowGate::Close() { closed_.store(true, std::memory_order_release); }

void FlowGate::Open() {
  const bool was_closed = closed_.exchange(false, std::memory_order_acq_rel);
  opened_.notify_all();
  const uint64_t one = 1;
  if (was_closed && wake_fd_ >= 0) {
    ssize_t r = write(wake_fd_, &one, sizeof one);  // a full counter is readable already
    (void)r;
  }
}

void FlowGate::TakeWake() {
  uint64_t n;
  if (wake_fd_ < 0) return;
  ssize_t r = read(wake_fd_, &n, sizeof n);  // nothing to take when not readable
  (void)r;
}

bool FlowGate::IsClosed() const { return closed_.load(std::memory_order_acquire); }

void FlowGate::WaitOpen(std::chrono::milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  while (IsClosed() && std::chrono::steady_clock::now() < until)
    opened_.wait_for(lock, std::chrono::milliseconds(1));
}

}  // namespace zornfhost
