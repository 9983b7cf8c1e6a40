// libFuzzer target: the frames written to a TAP or a TUN, which the
// coalescer reads the IPv4, TCP and UDP headers of (their bytes come from
// the far side of the tunnel). Input: frames, each a u16 length and its
// bytes, planned behind Ethernet and bare, with UDP runs and without. Every
// frame is written once, in its order, a run's pieces add up, and a UDP run
// cut as the kernel cuts it gives back its datagrams (but the
// identification and header checksum where DF is set).
#include <cstdlib>
#include <vector>

#include "byte_order.h"
#include "offload/coalesce.h"
#include "tests/common/fuzz_support.h"
#include "tests/offload/runs.h"

namespace {

using zor::fuzz::Bytes;
using zor::offload::DeviceWrite;
using zor::offload::FrameBytes;
using zor::offload::Link;

// Two TCP segments of one flow that follow one another.
Bytes TwoSegments() {
  Bytes in;
  for (uint32_t i = 0; i < 2; i++) zor::fuzz::PutChunk(in, runs::frame(runs::Segment{1000 + 8 * i, 8}));
  return in;
}

// Three UDP datagrams of one flow, the last shorter.
Bytes ThreeDatagrams() {
  Bytes in;
  for (uint16_t i = 0; i < 3; i++) zor::fuzz::PutChunk(in, runs::frame(runs::Datagram{i, i < 2 ? 24u : 5u}));
  return in;
}

zor::fuzz::Seeds MakeSeeds() {
  return {{"two-segments", TwoSegments()}, {"three-datagrams", ThreeDatagrams()}};
}

// A UDP run gives back its datagrams when cut.
void CheckUdpRun(const DeviceWrite &w, const std::vector<Bytes> &frames,
                 const std::vector<FrameBytes> &views, Link link) {
  const size_t ip = static_cast<size_t>(link);
  std::vector<Bytes> pieces = runs::cut_udp_run(w.vnet, runs::written(w, views.data()), link);
  if (pieces.size() != w.frames) abort();
  for (size_t k = 0; k < w.frames; k++) {
    const Bytes &sent = frames[w.first + k];
    Bytes &piece = pieces[k];
    if (piece.size() != sent.size()) abort();
    if (load_be16(&sent[ip + 6]) & 0x4000)  // DF: the identification is the kernel's
      for (size_t at : {ip + 4, ip + 5, ip + 10, ip + 11}) piece[at] = sent[at];
    if (piece != sent) abort();
  }
}

void Check(const std::vector<Bytes> &frames, const std::vector<FrameBytes> &views, Link link,
           bool udp_runs) {
  size_t next = 0;
  std::vector<iovec> iov(2 + frames.size());
  for (const DeviceWrite &w : zor::offload::plan_writes(views.data(), views.size(), link, udp_runs)) {
    if (w.first != next || w.frames == 0 || w.frames > zor::offload::kRunPackets) abort();
    next += w.frames;
    size_t parts = zor::offload::write_iov(w, views.data(), iov.data());
    size_t bytes = 0, expected = w.headlen;
    for (size_t k = 1; k < parts; k++) bytes += iov[k].iov_len;
    for (size_t k = 0; k < w.frames; k++) expected += views[w.first + k].len - w.headlen;
    if (w.headlen ? bytes != expected || w.headlen > zor::offload::kRunHeadRoom
                  : bytes != views[w.first].len)
      abort();
    if (w.vnet.gso_type == zor::offload::kVnetGsoUdpL4) {
      if (!udp_runs) abort();
      CheckUdpRun(w, frames, views, link);
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
  for (Link link : {Link::kEthernet, Link::kNone})
    for (bool udp_runs : {true, false}) Check(frames, views, link, udp_runs);
  return 0;
}
