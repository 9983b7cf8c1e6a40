// A small host for running the filter's module frame in-process: every
// KERN_ operation is recorded and can be told to fail, time is set by the
// test, and buffers handed over wait until the test completes them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testhost {

struct Netbuf {
  void *netdev;
  bool to_network;
  std::vector<uint8_t> bytes;
};

struct State {
  // Memory: the allocation that fails (1-based count from now; 0 none).
  long fail_alloc_at = 0;
  long allocs = 0;
  long live_allocs = 0;
  // Host answers.
  int register_device_result = 0;
  int register_event_result = 0;
  int send_event_result = 0;
  int queue_result = 0;
  int random_result = 0;
  uint8_t random_fill = 0x5C;  // what the host's generator gives
  // What the library did.
  std::vector<std::string> log;
  std::vector<uint32_t> doorbells;
  int clears = 0;
  int timers_started = 0;
  std::vector<Netbuf *> taken;  // handed over, not yet completed
  std::vector<int> handovers;   // buffers per hand-over call, in call order
  long live_netbufs = 0;
  // Clocks.
  uint32_t sec = 0, min = 0, hour = 12, day = 1, month = 6, year = 2026;
  uint64_t mono_ns = 1000000000ull;
};

State &state();
// Back to a fresh state; the library's globals are untouched.
void reset();
void advance_seconds(uint64_t s);
// A frame as the host would hand it to a hook.
Netbuf frame(void *netdev, std::vector<uint8_t> bytes);

}  // namespace testhost
