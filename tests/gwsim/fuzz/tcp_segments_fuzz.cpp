// libFuzzer target: the gateway simulator's reading of tunnel-device frames
// and of the runs it writes of the client's opened packets.
// Input: a selector byte (% 3), then one device frame (virtio-net header
// and packet, as read() delivers it), or packets written as chunks (u16
// length, bytes), as the data side builds them from opened datagrams, or
// device frames as chunks, joined where they are fragments
// (inner_fragments.h) before they are read. A run of TCP segments written
// must plan and cut again like a device frame; a joined packet must fit the
// room it was read into.
#include <algorithm>
#include <cstring>
#include <memory>

#include "offload/coalesce.h"
#include "tests/common/fuzz_support.h"
#include "tests/offload/runs.h"
#include "tests/packetpath/frames.h"
#include "tools/gwsim/inner_fragments.h"
#include "tools/gwsim/tcp_segments.h"
#include "tools/gwsim/tun_device.h"

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
  pp::Ip udp;
  udp.id = 77;
  const Bytes datagram = pp::Ipv4(udp, pp::Udp(9000, 40001, Bytes(3000, 0x33)));
  Bytes fragments = {2};
  for (uint32_t off = 0; off < datagram.size() - 20; off += 1480) {
    const uint32_t n = std::min<uint32_t>(1480, (uint32_t)datagram.size() - 20 - off);
    Bytes piece(datagram.begin(), datagram.begin() + 20);
    piece.insert(piece.end(), datagram.begin() + 20 + off, datagram.begin() + 20 + off + n);
    piece[2] = (uint8_t)((20 + n) >> 8);
    piece[3] = (uint8_t)(20 + n);
    const uint16_t frag = (uint16_t)(off / 8 | (off + n < datagram.size() - 20 ? 0x2000 : 0));
    piece[6] = (uint8_t)(frag >> 8);
    piece[7] = (uint8_t)frag;
    pp::Reseal(piece.data());
    Bytes frame = Frame({}, piece);
    zor::fuzz::PutChunk(fragments, Bytes(frame.begin() + 1, frame.end()));
  }
  return {{"cut-frame", cut}, {"whole-frame", whole}, {"joinable-packets", packets},
          {"fragments", fragments}};
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

// Frames read one after the other into the room of one read, as the data
// side reads them; those that come out are read as frames.
void JoinAll(zor::fuzz::Input &in) {
  gwsim::InnerFragments joiner;
  std::unique_ptr<uint8_t[]> room(new uint8_t[gwsim::kTunFrameRoom]);
  for (uint32_t k = 0; !in.empty() && k < 256; k++) {
    const Bytes frame = in.Chunk();
    size_t n = std::min(frame.size(), gwsim::kTunFrameRoom);
    if (n) memcpy(room.get(), frame.data(), n);
    if (!joiner.Take(room.get(), &n, gwsim::kTunFrameRoom)) continue;
    if (n > gwsim::kTunFrameRoom) abort();
    CutAll(room.get(), n);
  }
  if (joiner.waiting() > gwsim::InnerFragments::kMaxEntries) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  const uint8_t selector = in.Byte() % 3;
  if (selector == 1) {
    WriteAll(in);
    return 0;
  }
  if (selector == 2) {
    JoinAll(in);
    return 0;
  }
  // An exact heap copy: read() fills a buffer of the frame's size.
  Bytes rest = in.Rest();
  std::unique_ptr<uint8_t[]> frame(new uint8_t[rest.size() ? rest.size() : 1]);
  if (!rest.empty()) memcpy(frame.get(), rest.data(), rest.size());
  CutAll(frame.get(), rest.size());
  return 0;
}
