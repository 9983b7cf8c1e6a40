// The in-process kernel host of the library's tests: every KERN_ operation is
// recorded and can be told to fail, time is set by the test, and buffers
// handed over wait until the test completes them. Memory comes
// uninitialised (0xCC) as a kernel's does; a lock taken again by the thread
// that holds it, freed while held or released unheld stops the test.
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
  // What the library did: the KERN_printk lines, in order.
  std::vector<std::string> log;
  std::vector<uint32_t> doorbells;
  int clears = 0;
  int timers_started = 0;
  std::vector<Netbuf *> taken;  // handed over, not yet completed
  std::vector<int> handovers;   // buffers per hand-over call, in call order
  // The device each KERN_netdev_stop / KERN_netdev_wake named, by direction,
  // in call order (read through stops() and wakes() while workers run).
  std::vector<void *> flow_stops[2], flow_wakes[2];
  long live_netbufs = 0;
  // Clocks.
  uint32_t sec = 0, min = 0, hour = 12, day = 1, month = 6, year = 2026;
  uint64_t mono_ns = 1000000000ull;
  // The DOS date-time the filter's DrvGetCurFtime answers where a test runs
  // a part of the library without the filter (tests/fsguard/filter_clock.cpp).
  uint32_t dos_now = 0;
};

State &state();
// Back to a fresh state; the library's globals are untouched.
void reset();
void advance_seconds(uint64_t s);
// A frame as the host would hand it to a hook.
Netbuf frame(void *netdev, std::vector<uint8_t> bytes);
// True while the calling thread holds a lock of the library.
bool lock_held();
// The buffers handed over so far, taken out of state().taken (for a thread
// that completes them while the library runs on others).
std::vector<Netbuf *> take_handed_over();
// Copies of state().flow_stops / flow_wakes of a direction (KERN_FROM_*).
std::vector<void *> stops(uint32_t direction);
std::vector<void *> wakes(uint32_t direction);

// The library's works run on `count` workers with room for `depth` queued
// works each (count 0 or 1: inline, as a host without workers). Stops
// earlier workers first; use_workers(0, 0) before the test ends.
void use_workers(int count, unsigned depth);
// The workers a run of the tests asks for (ZOR_TEST_WORKERS, 0 when unset);
// hook_checks.h starts them before the first test.
int default_workers();
// The next work a worker takes (with n calls, the next n) waits until
// release_work(): it finishes after the others. works_held() counts those
// waiting; work_is_held() turns true once one waits.
void hold_next_work();
unsigned works_held();
bool work_is_held();
void release_work();
// Works run to their end since use_workers.
uint64_t works_done();

}  // namespace testhost
