#include "host/flow_gate.h"

namespace zornfhost {

void FlowGate::Close() { closed_.store(true, std::memory_order_release); }

void FlowGate::Open() {
  closed_.store(false, std::memory_order_release);
  opened_.notify_all();
}

bool FlowGate::IsClosed() const { return closed_.load(std::memory_order_acquire); }

void FlowGate::WaitOpen(std::chrono::milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  while (IsClosed() && std::chrono::steady_clock::now() < until)
    opened_.wait_for(lock, std::chrono::milliseconds(1));
}

}  // namespace zornfhost
