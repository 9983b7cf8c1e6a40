// libFuzzer target: the gateway's handshake datagrams as the daemon hands
// them over (request 5) in each state the handshake waits in: for the SYN
// RR, for the SYN OKF, and connected, with the session's keys in place.
//
// The handshake is run once per stage and kept while an input leaves the
// filter waiting where it was (as most do); otherwise it is run again, with
// the gateway's and the daemon's key pairs made once for the process.
//
// Input: stage byte (% 3), flags byte (bit 0: renew each datagram's trailer
// so that the checks behind it are reached), then datagrams, each a u16
// length and its bytes.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "crypto/crc32.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/wire_format.h"
#include "tests/common/fuzz_support.h"
#include "tests/host/test_host.h"
#include "tests/packetpath/fuzz/kept_harness.h"
#include "tests/packetpath/harness.h"

namespace {

using zor::fuzz::Bytes;
using zor::tunnel::client;
using Stage = pp::Harness::Stage;

constexpr size_t kRequestRoom = 18408;   // the daemon's request buffer less its header
const Stage kStages[] = {Stage::kSynRqSent, Stage::kSynOkSent, Stage::kConnected};
const uint8_t kWaitingState[] = {3, 5, 7};   // the filter's state in each stage

std::unique_ptr<pp::Harness> &harness = pp::KeptHarness();
int harness_stage = -1;

pp::Harness &At(int stage) {
  if (!harness || harness_stage != stage || client.state != kWaitingState[stage]) {
    harness.reset();
    static const pp::Harness::Keys keys = pp::Harness::Keys::Make();
    harness = std::make_unique<pp::Harness>();
    if (!harness->Connect(false, kStages[stage], &keys)) abort();
    harness_stage = stage;
  }
  return *harness;
}

// The trailer a datagram of this type carries: the imitation of a variant
// 17 SYN OKF, else the CRC.
void Reseal(Bytes &d) {
  if (d.size() < 12) return;
  uint32_t n = static_cast<uint32_t>(d.size() - 4), t;
  if (zor::wire::PacketTypeOf(d.data()) == zor::wire::kSynOkf && client.variant == 17) {
    uint8_t key[32];
    zor::wire::DeriveImitKey(client.master_key, "SynOKFImit", client.gw_nonce, key);
    t = zor::wire::Imitation(key, d.data(), n);
  } else {
    t = ~FCS32(d.data(), n);
  }
  memcpy(d.data() + n, &t, 4);
}

Bytes Seed(uint8_t stage, const std::vector<Bytes> &datagrams) {
  Bytes in = {stage, 1};
  for (const Bytes &d : datagrams) zor::fuzz::PutChunk(in, d);
  return in;
}

Bytes LastBuilt() {
  return Bytes(client.last_datagram, client.last_datagram + client.last_datagram_len);
}

// The simulated gateway's answers in each stage.
zor::fuzz::Seeds MakeSeeds() {
  zor::fuzz::Seeds seeds;
  {
    pp::Harness h;
    h.Connect(false, Stage::kSynRqSent);
    Bytes synrq = LastBuilt();
    seeds.emplace_back("syn-rr", Seed(0, h.handshake().Handle(synrq.data(), synrq.size())));
    gwsim::Options o;
    o.fragment = 120;
    gwsim::HandshakePeer fragmenting(o);
    seeds.emplace_back("syn-rr-fragments", Seed(0, fragmenting.Handle(synrq.data(), synrq.size())));
    o = gwsim::Options{};
    o.status_code = 24;
    o.status_value = "refused";
    gwsim::HandshakePeer refusing(o);
    seeds.emplace_back("status", Seed(0, refusing.Handle(synrq.data(), synrq.size())));
  }
  {
    pp::Harness h;
    h.Connect(false, Stage::kSynOkSent);
    Bytes synok = LastBuilt();
    seeds.emplace_back("syn-okf", Seed(1, h.handshake().Handle(synok.data(), synok.size())));
  }
  {
    pp::Harness h;
    h.Connect();
    seeds.emplace_back("connected-key-change", Seed(2, {h.gateway().KeyChange()}));
  }
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return pp::InitializeFuzzTarget(MakeSeeds); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  int stage = in.Byte() % 3;
  bool reseal = in.Byte() & 1;
  pp::Harness &h = At(stage);
  for (int i = 0; i < 16 && !in.empty(); i++) {
    Bytes d = in.Chunk();
    if (d.size() > kRequestRoom) d.resize(kRequestRoom);
    if (reseal) Reseal(d);
    h.Request(5, d);
  }
  h.Drain();
  testhost::state().log.clear();   // what the host recorded, unbounded otherwise
  testhost::state().doorbells.clear();
  return 0;
}
