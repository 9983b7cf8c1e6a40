// libFuzzer target: the frames zornfhost writes to the TAP, which the
// coalescer reads the IPv4, TCP and UDP headers of (their bytes come from
// the far side of the tunnel). Input: frames, each a u16 length and its
// bytes, planned with UDP runs and without. Every frame is written once, in
// its order, a run's pieces add up, and a UDP run cut as the kernel cuts it
// gives back its datagrams (but the identification and header checksum
// where DF is set).
#include <cstdlib>
#include <vector>

#include "byte_order.h"
#include "host/tap_coalesce.h"
#include "tests/common/fuzz_support.h"
#include "tests/host/tap_runs.h"

namespace {

using zor::fuzz::Bytes;
using zornfhost::FrameBytes;
using zornfhost::TapWrite;

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

// Three UDP datagrams of one flow, the last shorter.
Bytes ThreeDatagrams() {
  Bytes in;
  for (uint16_t i = 0; i < 3; i++) zor::fuzz::PutChunk(in, tap_runs::frame({i, i < 2 ? 24u : 5u}));
  return in;
}

zor::fuzz::Seeds MakeSeeds() {
  return {{"two-segments", TwoSegments()}, {"three-datagrams", ThreeDatagrams()}};
}

// A UDP run gives back its datagrams when cut.
void CheckUdpRun(const TapWrite &w, const std::vector<Bytes> &frames,
                 const std::vector<FrameBytes> &views) {
  std::vector<Bytes> pieces = tap_runs::cut_udp_run(w.vnet, tap_runs::written(w, views.data()));
  if (pieces.size() != w.frames) abort();
  for (size_t k = 0; k < w.frames; k++) {
    const Bytes &sent = frames[w.first + k];
    Bytes &piece = pieces[k];
    if (piece.size() != sent.size()) abort();
    if (load_be16(&sent[14 + 6]) & 0x4000)  // DF: the identification is the kernel's
      for (size_t at : {14 + 4, 14 + 5, 14 + 10, 14 + 11}) piece[at] = sent[at];
    if (piece != sent) abort();
  }
}

void Check(const std::vector<Bytes> &frames, const std::vector<FrameBytes> &views,
           bool udp_runs) {
  size_t next = 0;
  std::vector<iovec> iov(2 + frames.size());
  for (const TapWrite &w : zornfhost::plan_tap_writes(views.data(), views.size(), udp_runs)) {
    if (w.first != next || w.frames == 0) abort();
    next += w.frames;
    size_t parts = zornfhost::tap_write_iov(w, views.data(), iov.data());
    size_t bytes = 0, expected = w.headlen;
    for (size_t k = 1; k < parts; k++) bytes += iov[k].iov_len;
    for (size_t k = 0; k < w.frames; k++) expected += views[w.first + k].len - w.headlen;
    if (w.headlen ? bytes != expected || w.headlen > zornfhost::kTapHeadRoom
                  : bytes != views[w.first].len)
      abort();
    if (w.vnet.gso_type == zornfhost::kVnetGsoUdpL4) {
      if (!udp_runs || w.frames > zornfhost::kUdpRunDatagrams) abort();
      CheckUdpRun(w, frames, views);
    }
  }
  if (next != frames.size()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  std::vector<Bytes> frames;
  while (!in.empty() && frames.size() < 64) frames.push_back(in.Chunk());
  std::vector<FrameBytes> views;
  for (const Bytes &f : frames) views.push_back({f.data(), f.size()});
  Check(frames, views, true);
  Check(frames, views, false);
  return 0;
}
