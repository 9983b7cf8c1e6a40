// libFuzzer target: the frames zornfhost writes to the TAP, which the
// coalescer reads the IPv4 and TCP headers of (their bytes come from the far
// side of the tunnel). Input: frames, each a u16 length and its bytes. Every
// frame is written once, in its order, and a run's pieces add up.
#include <cstdlib>
#include <vector>

#include "byte_order.h"
#include "host/tap_coalesce.h"
#include "tests/common/fuzz_support.h"

namespace {

using zor::fuzz::Bytes;

// Two TCP segments of one flow that follow one another.
Bytes TwoSegments() {
  Bytes in;
  for (uint32_t i = 0; i < 2; i++) {
    Bytes f(14 + 20 + 20 + 8, 0);
    store_be16(&f[12], 0x0800);
    f[14] = 0x45;
    store_be16(&f[16], 48);
    f[23] = 6;
    f[14 + 20 + 12] = 0x50;
    f[14 + 20 + 13] = 0x10;
    store_be32(&f[14 + 20 + 4], 1000 + 8 * i);
    zor::fuzz::PutChunk(in, f);
  }
  return in;
}

zor::fuzz::Seeds MakeSeeds() { return {{"two-segments", TwoSegments()}}; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  std::vector<Bytes> frames;
  while (!in.empty() && frames.size() < 64) frames.push_back(in.Chunk());
  std::vector<zornfhost::FrameBytes> views;
  for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
  size_t next = 0;
  std::vector<iovec> iov(2 + frames.size());
  for (const zornfhost::TapWrite &w : zornfhost::plan_tap_writes(views.data(), views.size())) {
    if (w.first != next || w.frames == 0) abort();
    next += w.frames;
    size_t parts = zornfhost::tap_write_iov(w, views.data(), iov.data());
    size_t bytes = 0, expected = w.headlen;
    for (size_t k = 1; k < parts; k++) bytes += iov[k].iov_len;
    for (size_t k = 0; k < w.frames; k++) expected += views[w.first + k].len - w.headlen;
    if (w.headlen ? bytes != expected || w.headlen > zornfhost::kTapHeadRoom
                  : bytes != views[w.first].len)
      abort();
  }
  if (next != frames.size()) abort();
  return 0;
}
