// libFuzzer target: the daemon's side of the filter's netlink channel, fed
// as a hostile filter would feed it. Input: a selector byte, then
//   selector 0: one controller reply to the family look-up (the request
//               channel's and the event listener's), parsed as received;
//   else:       query (selector - 1) % count of the table below is made
//               against a scripted filter endpoint that answers each of its
//               requests with the next chunk (u16 length, bytes): first
//               byte even, the rest is the whole reply datagram; odd, the
//               rest is the data area of a regular reply. Requests past the
//               last chunk, and empty datagrams, get one too short to be a reply.
#include <linux/netlink.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/genl_device.h"
#include "Service/common/engine/genl_family.h"
#include "Service/common/engine/handshake_requests.h"
#include "Service/common/engine/local_rules.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"
#include "tests/common/fuzz_support.h"
#include "tests/common/test_dir.h"
#include "tests/engine/netlink_peer.h"

namespace {

using enginetest::Bytes;
using enginetest::NetlinkPeer;
using enginetest::Request;

struct Query {
  const char *name;
  void (*run)();
};

const Query kQueries[] = {
    {"statistics", [] { clientstatstype s; getStatistics(0, 0, &s); }},
    {"gateway-config", [] { uint32_t n; veskcfgothertype o; getVeskCfg(&n, &o); }},
    {"status-json", [] { getStatusJSON(); }},
    {"dns-suffixes", [] { std::list<std::string> l; getDnsSuffixes(l); }},
    {"firewall-info", [] { firewallinfotype f; GetFirewallInfo(&f); }},
    {"gateway-info", [] { veskinfotype v; GetVESKInfo(&v); }},
    {"access-level", [] { uint8_t l; int f; getAccessLevel(&l, &f); }},
    {"country-code", [] { std::string c; getCountryCode(c); }},
    {"event-code", [] { get_event_code(); }},
    {"local-rules", [] { rulesfileheadertype h; addrobjtype t; getFilterRulesWithoutConnect(&h, &t); }},
    {"syn-number", [] { uint8_t n; getNextSynNumber(&n); }},
    {"stage-timeout", [] { uint32_t s; getStageTimeout(s); }},
    {"probe", [] {
       uint16_t port;
       uint8_t buf[512];
       uint32_t len = sizeof buf;
       getSendPacket_SYNRQ_checkavailable(0, &port, buf, &len);
     }},
    {"treat-packet", [] {
       static uint8_t buf[ENGINE_PACKET_SIZE];
       uint32_t offset;
       treatReceivedPacket(buf, 64, &offset);
     }},
    {"syn-ok", [] { treatSendPacket_SYNOK(); }},
    {"raw", [] {
       std::vector<uint8_t> out;
       uint32_t got;
       DRV_RawRequest(IOCTL_GETCODE, nullptr, 0, out, &got);
     }},
    {"device", [] {   // the device handle's control call, opened once
       static utl_drv_ipc_device *dev = utl_drv_ipc_device_open(nm_drvdevname);
       if (!dev) abort();
       uint8_t request[8] = {}, answer[64];
       uint32_t n = sizeof answer;
       utl_drv_ipc_device_iocontrol(dev, request, sizeof request, answer, &n);
     }},
};
constexpr size_t kQueryCount = sizeof kQueries / sizeof kQueries[0];

// The replies of the current input, taken by the peer's thread.
struct Replies {
  std::mutex mtx;
  std::deque<Bytes> chunks;
  Bytes next(const Request &req) {
    std::lock_guard<std::mutex> lock(mtx);
    if (chunks.empty()) return Bytes(4, 0);
    Bytes c = std::move(chunks.front());
    chunks.pop_front();
    // An empty datagram never arrives: it would only make the channel wait
    // out its time-out.
    if (c.size() < 2) return Bytes(4, 0);
    if (c[0] % 2 == 0) return Bytes(c.begin() + 1, c.end());
    return enginetest::ReplyWith(req, Bytes(c.begin() + 1, c.end()));
  }
};

std::unique_ptr<NetlinkPeer> peer;
std::unique_ptr<TestDir> dir;   // installDir: settings the queries may write
Replies replies;

// A data-area chunk and a whole-datagram chunk as the seeds carry them.
Bytes Area(const Bytes &area) {
  Bytes c = {1};
  c.insert(c.end(), area.begin(), area.end());
  return c;
}
Bytes Framed(const Bytes &payload, uint8_t state = 2) {
  return Area(enginetest::FramedArea(state, 0, payload));
}

Bytes Input(size_t query, std::initializer_list<Bytes> chunks) {
  Bytes in = {static_cast<uint8_t>(query + 1)};
  for (const Bytes &c : chunks) zor::fuzz::PutChunk(in, c);
  return in;
}

zor::fuzz::Seeds MakeSeeds() {
  // The controller's answer: the name attribute, then the id attribute.
  Bytes family(20 + 20 + 8, 0);
  enginetest::Put32(family, 0, static_cast<uint32_t>(family.size()));
  enginetest::Put16(family, 4, 0x10);
  family[16] = 1;
  enginetest::Put16(family, 20, 4 + 15);
  enginetest::Put16(family, 22, 2);
  memcpy(&family[24], "/tmp/SolvrnVpn", 15);
  enginetest::Put16(family, 40, 6);
  enginetest::Put16(family, 42, 1);
  enginetest::Put16(family, 44, 0x5A10);
  family.insert(family.begin(), 0);

  // A whole reply datagram, as the scripted endpoint would build it.
  Request req{Bytes(20, 0), 0, 0, {}};
  enginetest::Put16(req.message, 4, enginetest::kPeerRequestFamily);
  enginetest::Put32(req.message, 8, 50);
  req.message[16] = 1;
  Bytes whole = enginetest::ReplyWith(req, enginetest::FramedArea(2, 0, Bytes(72, 9)));
  whole.insert(whole.begin(), 0);

  Bytes header(RULES_HEADER_SIZE, 0), table(RULES_TABLE_SIZE, 0);
  Bytes readHeader(16, 0), readTable(16, 0);
  readHeader.insert(readHeader.end(), header.begin(), header.end());
  readTable.insert(readTable.end(), table.begin(), table.end());
  Bytes withTail = readHeader;
  withTail[16 + 8] = 8;   // the header's tail length
  Bytes tail(16 + 8, 0);
  memcpy(&tail[16], "zz\0", 3);
  Bytes code = {0, 0, 0, 0, 2, 0, 0, 0};
  return {
      {"family-reply", family},
      {"statistics", Input(0, {Framed(Bytes(72, 1))})},
      {"statistics-whole", Input(0, {whole})},
      {"gateway-config", Input(1, {Framed(Bytes(36, 2)), Framed(Bytes(324, 3))})},
      {"status-json", Input(2, {Framed({'{', '}', 0})})},
      {"dns-suffixes", Input(3, {Framed({'a', ';', ' ', 'b'})})},
      {"firewall-info", Input(4, {Framed(Bytes(16, 4))})},
      {"gateway-info", Input(5, {Framed(Bytes(8, 5))})},
      {"access-level", Input(6, {Framed({1, 0, 0, 0, 0})})},
      {"country-code", Input(7, {Framed({'Z', 'Z'})})},
      {"event-code", Input(8, {Area(code)})},
      {"local-rules", Input(9, {Framed(readHeader), Framed(readTable)})},
      {"local-rules-tail", Input(9, {Framed(withTail), Framed(readTable), Framed(tail)})},
      {"syn-number", Input(10, {Framed({7})})},
      {"stage-timeout", Input(11, {Framed({5, 0, 0, 0})})},
      {"probe", Input(12, {Framed(Bytes(40, 6))})},
      {"treat-packet", Input(13, {Framed(Bytes(64, 7), 3)})},
      {"syn-ok", Input(14, {Framed(Bytes(64, 8))})},
      {"raw", Input(15, {Area(code)})},
      {"device", Input(16, {Area(Bytes(40, 10))})},
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  dir = std::make_unique<TestDir>("zor-channel-fuzz");
  snprintf(installDir, sizeof installDir, "%s", dir->path().c_str());
  GetLog().LogEnable(0);
  peer = std::make_unique<NetlinkPeer>();
  FilterSeam_Force({NETLINK_USERSOCK, peer->port()});
  SendIRP_ReplyTimeoutMs = 2000;
  peer->set_script([](const Request &req) -> std::optional<Bytes> { return replies.next(req); });
  atexit([] {   // the peer's thread ends before the process does
    peer.reset();
    dir.reset();
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  uint8_t selector = in.Byte();
  if (selector == 0) {
    // An exact heap copy, so that a read past the reply is a finding.
    Bytes reply = in.Rest();
    std::unique_ptr<uint8_t[]> exact(new uint8_t[reply.size() + 1]);
    if (!reply.empty()) memcpy(exact.get(), reply.data(), reply.size());
    GenlParseFamilyReply(exact.get(), static_cast<long>(reply.size()));
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(replies.mtx);
    replies.chunks.clear();
    while (!in.empty()) replies.chunks.push_back(in.Chunk());
  }
  EngineState_Reset();
  kQueries[(selector - 1) % kQueryCount].run();
  return 0;
}
