// libFuzzer target: the local stack's frames in zornfhost's fair queue,
// whose flow is read from their IPv4 and TCP or UDP headers. Input: steps,
// each a byte then a frame (even: pushed, as a u16 length and its bytes) or
// a pop of up to 64 frames and a u16 count of 16-byte units. The queue
// stays within its bounds, and every frame pushed leaves once, popped or
// dropped, with its bytes.
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "byte_order.h"
#include "host/fair_queue.h"
#include "tests/common/fuzz_support.h"

namespace {

using zor::fuzz::Bytes;
constexpr size_t kHead = 10;
constexpr size_t kMaxBytes = 64 * 1024, kMaxFrames = 64;

// Two UDP frames of one flow, then a pop.
Bytes TwoDatagrams() {
  Bytes in;
  for (int i = 0; i < 2; i++) {
    Bytes f(kHead + 14 + 20 + 8 + 4, 0);
    store_be16(&f[kHead + 12], 0x0800);
    f[kHead + 14] = 0x45;
    f[kHead + 14 + 9] = 17;
    f.back() = static_cast<uint8_t>(i);
    in.push_back(0);
    zor::fuzz::PutChunk(in, f);
  }
  in.push_back(1);
  zor::fuzz::PutU16(in, 200);
  return in;
}

zor::fuzz::Seeds MakeSeeds() { return {{"two-datagrams", TwoDatagrams()}}; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  zornfhost::FairQueue q(kMaxBytes, kMaxFrames);
  std::map<Bytes, size_t> waiting;  // frames pushed and not yet popped or dropped
  size_t pushed = 0, popped = 0;
  while (!in.empty()) {
    const uint8_t step = in.Byte();
    if (step % 2 == 0) {
      Bytes f = in.Chunk();
      if (!q.Push(f.data(), f.size(), kHead)) abort();
      waiting[f]++;
      pushed++;
    } else {
      zornfhost::FairQueue::Frame *out[64];
      const size_t max = step / 2 % 64 + 1, bytes = size_t{in.U16()} * 16;
      const size_t n = q.Pop(out, max, bytes);
      if (n > max || (n == 0 && !q.empty())) abort();
      for (size_t k = 0; k < n; k++) {
        Bytes f(out[k]->bytes(), out[k]->bytes() + out[k]->len);
        auto it = waiting.find(f);
        if (it == waiting.end()) abort();
        if (--it->second == 0) waiting.erase(it);
        q.Free(out[k]);
        popped++;
      }
    }
    if (q.bytes() > kMaxBytes || q.frames() > kMaxFrames) abort();
    if (pushed != popped + q.dropped() + q.frames()) abort();
  }
  return 0;
}
