// The frames of the local stack waiting for the filter, queued per flow. A
// TAP drops what its ring cannot hold with no regard for whose frames they
// are, and never holds the stack back, so a device queue set on it shares
// nothing out: zornfhost's stack reader takes every frame the TAP holds
// into this queue, and feeds the filter from it while the filter has room.
//
// Flows: IPv4 frames by addresses, protocol and (TCP and UDP, not a
// fragment) ports, hashed into kFlowBuckets buckets; every other frame is
// one flow. Frames leave in deficit round robin over the flows that wait,
// kQuantum bytes a flow a round, the flows that just started waiting served
// before those that kept waiting (a ping, a connection's first packets, the
// acknowledgements of a download), each flow's frames in their order. Over
// its bounds the queue drops from the head of the flow that holds the most
// bytes, up to half of what it holds: one flow sent flat out loses its own
// frames, the others keep their share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zornfhost {

class FairQueue {
 public:
  static constexpr size_t kFlowBuckets = 1024;
  static constexpr uint32_t kQuantum = 1514;
  // Frames' rooms are kept for the next frames of their size, up to
  // kKeptRooms of each (the queue's frames come and go all the time: given
  // back to the allocator and taken again, large rooms cost page faults).
  static constexpr size_t kRooms[] = {2048, 16384, 65536 + 64};

  // A frame in the queue: its bytes follow the record.
  struct Frame {
    Frame *next;
    uint32_t len;
    uint32_t bucket;
    uint32_t size_class;  // of its room (kRooms), or kNoClass
    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(this + 1); }
  };

  FairQueue(size_t max_bytes, size_t max_frames);
  ~FairQueue();
  FairQueue(const FairQueue &) = delete;
  FairQueue &operator=(const FairQueue &) = delete;

  // Copies a frame (behind `skip` bytes of the host's own header, which
  // the flow is not read from) into the queue; false when no memory.
  bool Push(const uint8_t *bytes, size_t len, size_t skip);
  // Takes up to `max` frames and `max_bytes` bytes (at least one frame when
  // any waits) in their round-robin order into `out`; the caller gives each
  // back with Free().
  size_t Pop(Frame **out, size_t max, size_t max_bytes);
  void Free(Frame *frame);

  bool empty() const { return frames_ == 0; }
  size_t frames() const { return frames_; }
  size_t bytes() const { return bytes_; }
  // Frames dropped over the bounds so far.
  uint64_t dropped() const { return dropped_; }

 private:
  struct Bucket {
    Frame *head = nullptr, *tail = nullptr;
    size_t bytes = 0;
    int32_t deficit = 0;
    uint32_t next = 0;  // in its list
    uint8_t list = 0;   // kIdle, kNew or kOld
  };
  struct List {
    uint32_t head = kNone, tail = kNone;
  };
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static constexpr uint32_t kNoClass = 3;
  static constexpr size_t kKeptRooms = 256;
  enum : uint8_t { kIdle = 0, kNew = 1, kOld = 2 };

  void Append(List &list, uint32_t b, uint8_t which);
  uint32_t TakeHead(List &list);
  Frame *Dequeue(uint32_t b);
  void DropFromFattest();
  Frame *NewFrame(size_t len);

  size_t max_bytes_, max_frames_;
  size_t bytes_ = 0, frames_ = 0;
  uint64_t dropped_ = 0;
  std::vector<Bucket> buckets_;
  List new_, old_;
  std::vector<Frame *> kept_[kNoClass];
};

// The bucket of a frame (an Ethernet frame).
uint32_t flow_bucket(const uint8_t *frame, size_t len);

}  // namespace zornfhost
