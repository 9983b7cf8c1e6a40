#pragma once
// The simulator's stop request: set by the SIGTERM and SIGINT handler, read
// by the main loop and by the tunnel device's reader thread. A lock-free
// atomic is the one object both a signal handler and several threads may
// touch.
#include <atomic>

namespace gwsim {

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

inline std::atomic<bool> stop_requested{false};

inline void RequestStop() { stop_requested.store(true); }
inline bool StopRequested() { return stop_requested.load(); }

}  // namespace gwsim
