// libFuzzer target: frames through the packet path of a bound adapter while
// the tunnel is up: from the network (raw frames; gateway datagrams to the
// tunnel port raw, or as tunnel data and control with the session's valid
// protection) and from the local stack. The tunnel stays up across inputs;
// when an input ends it, the next input connects again.
//
// Input: frames until the input ends, each a kind byte (% 5) and a chunk
// (u16 length, bytes): 0 raw frame from the network, 1 raw frame from the
// stack, 2 raw datagram from the gateway, 3 an IPv4 packet the gateway
// sends as tunnel data, 4 a control message of the gateway (u16 code, data).
// A frame from the stack whose kind byte / 5 is odd finds an ICMP redirect
// pending on its port (the code: kind byte / 10); tunnel data whose kind
// byte / 5 is odd comes as outer fragments of 8 x (kind byte / 10 + 1)
// payload bytes, every fourth left out when the kind byte / 5 is 3 mod 4.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel/filter/adapters.h"
#include "kernel/filter/ip_fragments.h"
#include "kernel/filter/tunnel_client.h"
#include "tests/common/fuzz_support.h"
#include "tests/host/test_host.h"
#include "tests/packetpath/fuzz/kept_harness.h"
#include "tests/packetpath/harness.h"

namespace {

using zor::fuzz::Bytes;
using zor::fuzz::PutChunk;

enum Kind : uint8_t { kFromNet, kFromStack, kRawDatagram, kTunnelData, kControl };
constexpr uint8_t kConnected = 7;

std::unique_ptr<pp::Harness> &harness = pp::KeptHarness();

pp::Harness &Connected() {
  if (!harness || zor::tunnel::client.state != kConnected) {
    harness.reset();
    harness = std::make_unique<pp::Harness>();
    if (!harness->Connect()) abort();
  }
  return *harness;
}

// A datagram of the gateway as outer fragments of `step` payload bytes.
void FromNetInFragments(pp::Harness &h, const Bytes &frame, uint32_t step, bool gaps) {
  const uint32_t payload = IPFragmentPayload(frame.data());
  for (uint32_t off = 0, k = 0; off < payload; off += step, k++) {
    Bytes f(IPFragmentFrameLen(frame.data(), step, off));
    IPPutFragment(frame.data(), step, off, f.data());
    if (!gaps || k % 4 != 3) h.FromNet(f);
  }
}

void Offer(pp::Harness &h, uint8_t kind, Bytes body) {
  switch (kind % 5) {
    case kFromNet: h.FromNet(body); break;
    case kFromStack:
      if (FilterAdapter *a = FilterGetVpnAdapter(); a && kind / 5 % 2) {
        a->ports[PORT_TERM].redirectpending = 1;
        a->ports[PORT_TERM].redirectcode = (uint8_t)(kind / 10);
      }
      h.FromStack(body);
      break;
    case kRawDatagram: h.FromNet(h.GatewayFrame(body)); break;
    case kTunnelData: {  // the simulator wraps whole IPv4 headers only
      if (body.size() < 20 || (body[0] & 15) < 5 || (body[0] & 15) * 4u > body.size()) break;
      Bytes frame = h.GatewayFrame(h.gateway().Wrap(body.data(), body.size()));
      if (kind / 5 % 2) {
        FromNetInFragments(h, frame, 8u * (kind / 10 + 1), kind / 5 % 4 == 3);
        break;
      }
      h.FromNet(frame);
      break;
    }
    case kControl: {
      zor::fuzz::Input c(body.data(), body.size());
      uint16_t code = c.U16();
      h.FromNet(h.GatewayFrame(h.gateway().Oob(code, c.Rest())));
      break;
    }
  }
}

Bytes Seed(std::initializer_list<std::pair<uint8_t, Bytes>> frames) {
  Bytes in;
  for (const auto &[kind, body] : frames) {
    in.push_back(kind);
    PutChunk(in, body);
  }
  return in;
}

zor::fuzz::Seeds MakeSeeds() {
  using namespace pp;
  Ip toCorp;
  Ip fromCorp;
  fromCorp.src = kCorpIp;
  fromCorp.dst = kClientIp;
  Ip fragment = toCorp;
  fragment.frag = 0x2000;   // more fragments, offset 0
  Tcp syn;
  syn.options = {2, 4, 5, 0xB4, 1, 3, 3, 7, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0};
  Bytes arp = Ether(kGatewayMac, kClientMac, 0x0806,
                    {0, 1, 8, 0, 6, 4, 0, 1, 2, 0, 0, 0, 0, 1, 203, 0, 113, 2,
                     0, 0, 0, 0, 0, 0, 198, 51, 100, 10});
  Bytes echo = IcmpEcho(1, 1, Bytes(32, 0x61));
  Ip icmp = toCorp;
  icmp.proto = 1;
  Ip icmpBack = fromCorp;
  icmpBack.proto = 1;
  Bytes control(2, 0);
  control[0] = 1;
  return {
      {"stack-ping", Seed({{kFromStack, FromClient(icmp, echo)}})},
      {"stack-ping-redirect", Seed({{kFromStack + 5, FromClient(icmp, echo)}})},
      {"stack-tcp-syn-options", Seed({{kFromStack, FromClient(toCorp, TcpSegment(syn))}})},
      {"stack-fragment", Seed({{kFromStack, FromClient(fragment, Udp(40001, 9, Bytes(64, 1)))}})},
      {"stack-arp", Seed({{kFromStack, arp}})},
      {"net-arp", Seed({{kFromNet, Ether(kClientMac, kGatewayMac, 0x0806, Bytes(28, 0))}})},
      {"tunnel-data", Seed({{kTunnelData, Ipv4(icmpBack, IcmpEcho(1, 1, Bytes(32, 0x62)))}})},
      {"tunnel-data-fragment", Seed({{kTunnelData, Ipv4([&] { Ip f = fromCorp; f.frag = 0x2000; return f; }(),
                                                       Udp(9, 40001, Bytes(64, 2)))}})},
      {"tunnel-data-outer-fragments",
       Seed({{kTunnelData + 5 + 10 * 20, Ipv4(icmpBack, IcmpEcho(1, 1, Bytes(600, 0x63)))}})},
      {"tunnel-control", Seed({{kControl, control}})},
      {"gateway-raw", Seed({{kRawDatagram, Bytes(40, 0)}})},
      // An 802.3 frame (length 1) that ends right after its DSAP, a SNAP one:
      // the classifier may not read the SSAP past the frame.
      {"net-8023-cut-after-dsap", Seed({{kFromNet, Ether(kClientMac, kGatewayMac, 1, {0xAA})}})},
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return pp::InitializeFuzzTarget(MakeSeeds); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  pp::Harness &h = Connected();
  for (int i = 0; i < 16 && !in.empty(); i++) {
    uint8_t kind = in.Byte();
    Offer(h, kind, in.Chunk());
    h.Drain();
  }
  h.Tick();
  h.Drain();
  testhost::state().log.clear();   // what the host recorded, unbounded otherwise
  testhost::state().doorbells.clear();
  return 0;
}
