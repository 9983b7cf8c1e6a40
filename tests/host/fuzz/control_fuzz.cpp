// libFuzzer target: zornfhost's control endpoint, in-process without
// adapters. Input: a mode byte (% 2), then
//   0: one whole netlink datagram, sent to the endpoint's socket;
//   1: u32 code and the buffer (its exact length) for the control entry.
// After a datagram a known request follows, and every reply is read up to
// its answer, so that each input ends with the endpoint idle.
#include <linux/netlink.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/completions.h"
#include "host/genl_messages.h"
#include "host/host_runtime.h"
#include "kern_host.h"
#include "tests/common/fuzz_support.h"
#include "tests/host/netlink_client.h"

namespace {

using zor::fuzz::Bytes;
using zornfhost::kRequestFamilyId;

constexpr uint32_t kMarkSeq = 0x5EED5EED;
constexpr uint32_t kGetDataLen = 58;

std::unique_ptr<testnl::Client> client;

// The daemon's request of one code with its data area, as a datagram.
Bytes RequestDatagram(uint32_t code, const Bytes &data, uint32_t seq) {
  Bytes payload(8);
  uint32_t total = static_cast<uint32_t>(data.size() + 4);
  memcpy(&payload[0], &code, 4);
  memcpy(&payload[4], &total, 4);
  payload.insert(payload.end(), data.begin(), data.end());
  Bytes body = {1, 1, 0, 0};
  Bytes a = testnl::attribute(1, payload);
  body.insert(body.end(), a.begin(), a.end());
  return testnl::message(kRequestFamilyId, NLM_F_REQUEST, seq, body);
}

// Reads replies until the marked request's answer; aborts when it never comes.
void AwaitMark() {
  for (int i = 0; i < 1000; i++) {
    auto r = client->receive(5000);
    if (!r) break;
    if (r->size() >= 16 && testnl::u32_at(*r, 8) == kMarkSeq) return;
  }
  abort();
}

Bytes Framed(uint32_t code, uint32_t room) {
  Bytes b(4 + 24 + room, 0);
  uint32_t total = static_cast<uint32_t>(b.size());
  memcpy(b.data(), &code, 4);
  memcpy(b.data() + 4, &total, 4);   // the entry's length word
  b[8] = 0x09;
  b[9] = 0x02;
  return b;
}

zor::fuzz::Seeds MakeSeeds() {
  std::string family = "/tmp/SolvrnVpn";
  Bytes name(family.begin(), family.end());
  name.push_back(0);
  Bytes lookup = {3, 1, 0, 0};
  Bytes a = testnl::attribute(2, name);
  lookup.insert(lookup.end(), a.begin(), a.end());
  auto datagram = [](Bytes d) { d.insert(d.begin(), 0); return d; };
  auto entry = [](Bytes d) { d.insert(d.begin(), 1); return d; };
  Bytes info = RequestDatagram(0, Bytes(24 + 88, 0), 7);
  info[28] = 0x09;   // the framed header's magic inside the data area
  info[29] = 0x02;
  Bytes getcode(8, 0);
  getcode[0] = 8;
  return {
      {"family-lookup", datagram(testnl::message(0x10, NLM_F_REQUEST | NLM_F_ACK, 1, lookup))},
      {"request-datalen", datagram(RequestDatagram(kGetDataLen, Bytes(4, 0), 2))},
      {"request-framed-info", datagram(info)},
      {"entry-getcode", entry([&] { Bytes b = {49, 0, 0, 0}; b.insert(b.end(), getcode.begin(), getcode.end()); return b; }())},
      {"entry-framed-info", entry(Framed(0, 88))},
      {"entry-framed-local-rules", entry(Framed(16, 48))},
      {"entry-framed-short", entry(Framed(17, 0))},
      // Once made the filter allocate the 3 GB that the image claimed.
      {"entry-local-rules-huge-image", entry([] {
         Bytes b = Framed(17, 16);
         uint32_t payload = 16, total = 0xC0C0C0C0u;
         memcpy(b.data() + 28, &payload, 4);   // the header's length field
         memcpy(b.data() + 32, &total, 4);     // the image length; offset 0
         return b;
       }())},
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  zornfhost::HostConfig config;
  config.port = 0x7A000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF);
  if (!zornfhost::host_load(config)) abort();
  atexit([] {   // the host's threads end before the process does
    client.reset();
    zornfhost::host_unload();
  });
  client = std::make_unique<testnl::Client>(config.port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  if (in.Byte() % 2 == 0) {
    Bytes datagram = in.Rest();
    if (datagram.empty()) return 0;
    if (!client->send_raw(datagram)) return 0;
    client->send_raw(RequestDatagram(kGetDataLen, Bytes(4, 0), kMarkSeq));
    AwaitMark();
    return 0;
  }
  uint32_t code = in.U32();
  Bytes buffer = in.Rest();
  uint32_t length = static_cast<uint32_t>(buffer.size());
  // An exact heap buffer, so that any access past it is a finding.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[length ? length : 1]);
  if (length) memcpy(exact.get(), buffer.data(), length);
  Zor_Filter_DRV_IoControl_Function(code, length ? exact.get() : nullptr, &length);
  zornfhost::report_completions();
  return 0;
}
