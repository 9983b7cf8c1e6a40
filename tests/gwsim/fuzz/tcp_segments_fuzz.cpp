// libFuzzer target: the gateway simulator's reading of tunnel-device frames
// and of the runs it writes of the client's opened packets.
// Input: a selector byte, then either one device frame (virtio-net header
// and packet, as read() delivers it) or packets written as chunks (u16
// length, bytes), as the data side builds them from opened datagrams.
// A run of TCP segments written must plan and cut again like a device frame.
#include <cstring>
#include <memory>

#include "offload/coalesce.h"
#include "tests/common/fuzz_support.h"
#include "tests/offload/runs.h"
#include "tests/packetpath/frames.h"
#include "tools/gwsim/tcp_segments.h"

namespace {

using zor::fuzz::Bytes;
using gwsim::VnetHeader;

// The packets cut from one frame are bounded in the target, not in the
// simulator: a segment size of 1 cuts 64 KiB into 64 Ki packets.
constexpr uint32_t kMostCut = 4096;

Bytes Frame(const VnetHeader &v, const Bytes &ip) {
  Bytes f(1 + sizeof v);
  memcpy(f.data() + 1, &v, sizeof v);
  f.insert(f.end(), ip.begin(), ip.end());
  return f;
}

pp::Tcp Segment(uint32_t seq, size_t n) {
  pp::Tcp t;
  t.seq = seq;
  t.ack = 1;
  t.flags = 0x10;
  t.options = {1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 2};
  t.payload.assign(n, 0x5a);
  return t;
}

zor::fuzz::Seeds MakeSeeds() {
  pp::Ip ip;
  ip.proto = 6;
  ip.frag = 0x4000;
  Bytes large = pp::Ipv4(ip, pp::TcpSegment(Segment(1, 5000)));
  Bytes cut = Frame({1, 1, 52, 1400, 20, 16}, large);
  cut[0] = 0;
  Bytes whole = Frame({1, 0, 0, 0, 20, 16}, pp::Ipv4(ip, pp::TcpSegment(Segment(1, 100))));
  whole[0] = 0;
  Bytes packets = {1};
  for (uint32_t i = 0; i < 4; i++)
    zor::fuzz::PutChunk(packets, pp::Ipv4(ip, pp::TcpSegment(Segment(1 + 1000 * i, 1000))));
  return {{"cut-frame", cut}, {"whole-frame", whole}, {"joinable-packets", packets}};
}

void CutAll(uint8_t *frame, size_t n) {
  gwsim::TunFrame f;
  if (!gwsim::PlanFrame(frame, n, &f)) return;
  for (uint32_t i = 0; i < f.count && i < kMostCut; i++) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[gwsim::PacketPayloadLen(f, i)]);
    gwsim::PutPacketPayload(f, i, out.get());
  }
}

void WriteAll(zor::fuzz::Input &in) {
  std::vector<Bytes> packets;
  while (!in.empty() && packets.size() < 256) packets.push_back(in.Chunk());
  std::vector<zor::offload::FrameBytes> views;
  for (const Bytes &p : packets) views.push_back({p.data(), p.size()});
  for (const zor::offload::DeviceWrite &w :
       zor::offload::plan_writes(views.data(), views.size(), zor::offload::Link::kNone, true)) {
    Bytes frame(sizeof w.vnet);
    memcpy(frame.data(), &w.vnet, sizeof w.vnet);
    const Bytes packet = runs::written(w, views.data());
    frame.insert(frame.end(), packet.begin(), packet.end());
    if (w.vnet.gso_type == zor::offload::kVnetGsoTcpv4) {
      gwsim::TunFrame f;
      if (!gwsim::PlanFrame(frame.data(), frame.size(), &f) || f.count != w.frames) abort();
    }
    CutAll(frame.data(), frame.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  if (in.Byte() & 1) {
    WriteAll(in);
    return 0;
  }
  // An exact heap copy: read() fills a buffer of the frame's size.
  Bytes rest = in.Rest();
  std::unique_ptr<uint8_t[]> frame(new uint8_t[rest.size() ? rest.size() : 1]);
  if (!rest.empty()) memcpy(frame.get(), rest.data(), rest.size());
  CutAll(frame.get(), rest.size());
  return 0;
}
