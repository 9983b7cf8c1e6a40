// The frames the filter sends up to the local stack, written to a pair's
// TAP by a thread of their own, so that whoever hands them over (the
// uplink's reader, a crypto worker, the timer) never waits for the TAP.
// The frames wait in a queue of kTapQueueFrames; frames handed over to a
// full queue are lost, as on a device whose ring is full. Runs of one TCP
// flow leave coalesced (tap_coalesce.h); every frame is completed once
// written or lost (completions.h), and the writer reports the completions
// after each round of writes.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "host/completions.h"

namespace zornfhost {

// Enough for everything the filter's pool holds at once, many times over.
constexpr size_t kTapQueueFrames = 4096;

class TapWriter {
 public:
  TapWriter() = default;
  ~TapWriter() { Stop(); }
  TapWriter(const TapWriter &) = delete;
  TapWriter &operator=(const TapWriter &) = delete;

  // Starts the thread writing to `tap_fd`; frames it could not write, or
  // could not queue, are counted in `lost`.
  void Start(int tap_fd, std::atomic<unsigned long> *lost);
  // Writes what is queued, then ends the thread. Queue() refuses from now on.
  void Stop();
  // Takes the frames over; false (the caller keeps them) when not started.
  bool Queue(HostNetbuf *const *nbs, size_t count);

 private:
  void Loop();
  void Write(const std::vector<HostNetbuf *> &frames);

  int fd_ = -1;
  std::atomic<unsigned long> *lost_ = nullptr;
  std::mutex mu_;
  std::condition_variable more_;
  std::vector<HostNetbuf *> queue_;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace zornfhost
