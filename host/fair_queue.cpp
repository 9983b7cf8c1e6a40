#include "host/fair_queue.h"

#include <sys/random.h>

#include <cstdlib>
#include <cstring>

#include "byte_order.h"

namespace zornfhost {
namespace {

constexpr size_t kEth = 14;
constexpr uint16_t kEthIpv4 = 0x0800;
constexpr uint8_t kTcp = 6, kUdp = 17;
constexpr uint16_t kMoreFragmentsOrOffset = 0x3FFF;
// Frames one drop takes from the fattest flow at most.
constexpr size_t kDropBatch = 64;

// The hash's key, drawn once: which flows share a bucket cannot be chosen
// by whoever sends them.
uint64_t flow_key() {
  static const uint64_t key = [] {
    uint64_t k = 0x9E3779B97F4A7C15ull;
    if (getrandom(&k, sizeof k, 0) != sizeof k) k ^= reinterpret_cast<uintptr_t>(&k);
    return k | 1;
  }();
  return key;
}

// One step of a 64-bit mixer (splitmix64's finaliser) over h and v.
uint64_t mix(uint64_t h, uint64_t v) {
  uint64_t z = h ^ (v + 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

uint32_t flow_bucket(const uint8_t *f, size_t len) {
  if (len < kEth + 20 || load_be16(f + 12) != kEthIpv4) return 0;
  const uint8_t *ip = f + kEth;
  const size_t ihl = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ihl < 20 || kEth + ihl > len) return 0;
  uint64_t h = mix(flow_key(), load_be32(ip + 12));
  h = mix(h, load_be32(ip + 16));
  h = mix(h, ip[9]);
  const bool whole = !(load_be16(ip + 6) & kMoreFragmentsOrOffset);
  if (whole && (ip[9] == kTcp || ip[9] == kUdp) && kEth + ihl + 4 <= len)
    h = mix(h, load_be32(ip + ihl));
  return static_cast<uint32_t>((h >> 32) % FairQueue::kFlowBuckets);
}

FairQueue::FairQueue(size_t max_bytes, size_t max_frames)
    : max_bytes_(max_bytes), max_frames_(max_frames), buckets_(kFlowBuckets) {}

FairQueue::~FairQueue() {
  for (Bucket &k : buckets_)
    while (Frame *f = k.head) {
      k.head = f->next;
      std::free(f);
    }
  for (std::vector<Frame *> &kept : kept_)
    for (Frame *f : kept) std::free(f);
}

FairQueue::Frame *FairQueue::NewFrame(size_t len) {
  uint32_t c = 0;
  while (c < kNoClass && len > kRooms[c]) c++;
  if (c < kNoClass && !kept_[c].empty()) {
    Frame *f = kept_[c].back();
    kept_[c].pop_back();
    return f;
  }
  auto *f = static_cast<Frame *>(std::malloc(sizeof(Frame) + (c < kNoClass ? kRooms[c] : len)));
  if (f) f->size_class = c;
  return f;
}

void FairQueue::Free(Frame *frame) {
  const uint32_t c = frame->size_class;
  if (c < kNoClass && kept_[c].size() < kKeptRooms)
    kept_[c].push_back(frame);
  else
    std::free(frame);
}

void FairQueue::Append(List &list, uint32_t b, uint8_t which) {
  buckets_[b].next = kNone;
  buckets_[b].list = which;
  if (list.tail == kNone)
    list.head = b;
  else
    buckets_[list.tail].next = b;
  list.tail = b;
}

uint32_t FairQueue::TakeHead(List &list) {
  const uint32_t b = list.head;
  list.head = buckets_[b].next;
  if (list.head == kNone) list.tail = kNone;
  buckets_[b].list = kIdle;
  return b;
}

bool FairQueue::Push(const uint8_t *bytes, size_t len, size_t skip) {
  Frame *f = NewFrame(len);
  if (!f) return false;
  if (len) std::memcpy(f->bytes(), bytes, len);
  f->next = nullptr;
  f->len = static_cast<uint32_t>(len);
  f->bucket = len > skip ? flow_bucket(bytes + skip, len - skip) : 0;
  Bucket &k = buckets_[f->bucket];
  if (k.tail)
    k.tail->next = f;
  else
    k.head = f;
  k.tail = f;
  k.bytes += len;
  bytes_ += len;
  frames_++;
  if (k.list == kIdle) {
    k.deficit = kQuantum;
    Append(new_, f->bucket, kNew);
  }
  while (bytes_ > max_bytes_ || frames_ > max_frames_) DropFromFattest();
  return true;
}

FairQueue::Frame *FairQueue::Dequeue(uint32_t b) {
  Bucket &k = buckets_[b];
  Frame *f = k.head;
  k.head = f->next;
  if (!k.head) k.tail = nullptr;
  k.bytes -= f->len;
  bytes_ -= f->len;
  frames_--;
  return f;
}

size_t FairQueue::Pop(Frame **out, size_t max, size_t max_bytes) {
  size_t n = 0, taken = 0;
  while (n < max && frames_) {
    List &list = new_.head != kNone ? new_ : old_;
    const uint32_t b = list.head;
    Bucket &k = buckets_[b];
    if (k.deficit <= 0) {
      // Its share of this round is spent: behind the flows that kept waiting.
      TakeHead(list);
      k.deficit += kQuantum;
      Append(old_, b, kOld);
      continue;
    }
    if (n && taken + k.head->len > max_bytes) break;
    Frame *f = Dequeue(b);
    k.deficit -= static_cast<int32_t>(f->len);
    out[n++] = f;
    taken += f->len;
    if (!k.head) TakeHead(list);  // no longer waiting
  }
  return n;
}

// The flow holding the most bytes loses frames from its head, up to half
// of what it holds (at least one, at most kDropBatch).
void FairQueue::DropFromFattest() {
  uint32_t fattest = kNone;
  for (const List *list : {&new_, &old_})
    for (uint32_t b = list->head; b != kNone; b = buckets_[b].next)
      if (fattest == kNone || buckets_[b].bytes > buckets_[fattest].bytes) fattest = b;
  Bucket &k = buckets_[fattest];
  const size_t keep = k.bytes / 2;
  for (size_t n = 0; k.head && n < kDropBatch && (n == 0 || k.bytes > keep); n++) {
    Free(Dequeue(fattest));
    dropped_++;
  }
  if (k.head) return;
  // Emptied: out of its list.
  List &list = k.list == kNew ? new_ : old_;
  uint32_t prev = kNone;
  for (uint32_t b = list.head; b != fattest; b = buckets_[b].next) prev = b;
  if (prev == kNone)
    list.head = k.next;
  else
    buckets_[prev].next = k.next;
  if (list.tail == fattest) list.tail = prev;
  k.list = kIdle;
}

}  // namespace zornfhost
