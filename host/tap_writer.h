// The frames the filter sends up to the local stack, written to a pair's
// TAP by a thread of their own, so that whoever hands them over (the
// uplink's reader, a crypto worker, the timer) never waits for the TAP: a
// write to it runs the stack's receive of the frame. Queue() copies the
// frames, so that their buffers go back to the filter's pool at once and
// not only once the writer got to them. The writer takes all that waits at
// once while the next frames are queued into a second buffer; a frame that
// finds its buffer full is lost, as on a device whose ring is full. Runs of
// one TCP or UDP flow leave coalesced (offload/coalesce.h); once the kernel
// refuses a run of UDP, its datagrams and all after leave one by one.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "offload/coalesce.h"

namespace zornfhost {

// Room for the frames waiting to be written: the filter's pool holds less.
constexpr size_t kTapQueueBytes = 4 << 20;

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
  // Copies the frames for writing; false when not started (nothing taken).
  bool Queue(const zor::offload::FrameBytes *frames, size_t count);

 private:
  // Frames waiting in one buffer.
  struct Pending {
    std::vector<uint8_t> bytes;
    std::vector<size_t> lengths;
  };
  void Loop();
  void Write(const Pending &pending);

  int fd_ = -1;
  std::atomic<unsigned long> *lost_ = nullptr;
  std::mutex mu_;
  std::condition_variable more_;
  Pending queued_;
  bool running_ = false;
  bool udp_runs_ = true;  // the writer thread's own
  std::thread thread_;
};

}  // namespace zornfhost
