// Brings a tunnel up through zornfhost the way the service does, for the
// namespace tests and the benchmark: control requests over zornfhost's
// netlink endpoint, the handshake datagrams over its own UDP socket to the
// gateway, then it watches the filter's state and events and prints
// "connected", "event N" and "state N" lines until the tunnel is gone (or
// SIGTERM). On SIGUSR1 it prints "recverr N": the receive errors counted
// on the gateway's address-table entry.
//
//   tunnel_driver --gateway A.B.C.D --local A.B.C.D --adapter NAME [--mgm]
//   tunnel_driver --gateway A.B.C.D --init-only MINUTES
// The second form only initialises the connection and makes the transport
// ready (the filter then tracks the traffic with the gateway's address),
// with every firewall time-out set to the given minutes, and exits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drv_requests.h"
#include "byte_order.h"
#include "host/genl_messages.h"
#include "kernel/filter/address_table.h"
#include "tests/filter/daemon_records.h"
#include "tests/host/netlink_client.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace zor::testrec;

constexpr uint16_t kClientPort = 40000;
volatile sig_atomic_t stop, report;

struct Options {
  uint32_t gateway = 0, local = 0;  // host order
  std::string adapter = "tap0";
  bool mgm = false;
  uint32_t init_only = 0;  // minutes; 0 = bring the tunnel up
};

// Requests go on one socket; the doorbells, as the service's event
// listener takes them, to another.
std::unique_ptr<testnl::Client> nl, doorbells;
int udp = -1;

void Die(const char *what) {
  fprintf(stderr, "tunnel_driver: %s\n", what);
  exit(1);
}

// One control request: code and data area (after the u32 length); the
// area as the filter left it.
Bytes Control(uint32_t code, const Bytes &data) {
  auto reply = nl->ioctl(zornfhost::kRequestFamilyId, code, data, 3000);
  if (!reply) Die("no answer from zornfhost");
  return *reply;
}

// A framed request: the reply header and payload.
Bytes Request(uint32_t code, const Bytes &payload, size_t room = 18408) {
  Bytes d(24 + room, 0);
  store_le16(&d[0], DRV_REQUEST_MAGIC);
  uint32_t len = (uint32_t)payload.size();
  memcpy(d.data() + 20, &len, 4);
  std::copy(payload.begin(), payload.end(), d.begin() + 24);
  Bytes area = Control(code, d);
  return Bytes(area.begin() + 4, area.end());
}

Bytes Payload(const Bytes &reply) {
  uint32_t len;
  memcpy(&len, reply.data() + 20, 4);
  return Bytes(reply.begin() + 24, reply.begin() + 24 + len);
}

int32_t Status(const Bytes &reply) {
  int32_t s;
  memcpy(&s, reply.data() + 12, 4);
  return s;
}

Bytes Le(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words)
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)(w >> (8 * i)));
  return b;
}

void SendToGateway(const Options &o, const Bytes &d) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(87);
  to.sin_addr.s_addr = htonl(o.gateway);
  if (sendto(udp, d.data(), d.size(), 0, (sockaddr *)&to, sizeof to) < 0) Die("udp send");
}

// Hands the gateway's datagrams to the filter until one moves the state to
// `want`; the last reply.
Bytes TreatUntil(uint8_t want) {
  Bytes buf(65536);
  for (int i = 0; i < 64; i++) {
    pollfd p{udp, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0) Die("no answer from the gateway");
    ssize_t n = recv(udp, buf.data(), buf.size(), 0);
    if (n <= 0) continue;
    Bytes reply = Request(RQC_TREATPACKET, Bytes(buf.begin(), buf.begin() + n));
    if (Status(reply) != 0) {
      fprintf(stderr, "tunnel_driver: gateway reply refused, status %d\n", Status(reply));
      exit(1);
    }
    if (reply[2] == want) return reply;
  }
  Die("the handshake did not finish");
  return {};
}

void Connect(const Options &o) {
  Control(51, Le({doorbells->port()}));
  if (o.mgm) Request(RQC_SETMAGMAENABLED, Le({1}));
  Request(RQC_INIT, InitRecord(o.gateway));
  Request(RQC_SETAUXINFO, AuxRecord(true));
  uint8_t priv[32];
  if (getrandom(priv, sizeof priv, 0) != sizeof priv) Die("random");
  priv[31] &= 0x3F;
  Bytes synrq = Payload(Request(RQC_MAKESYNRQ, EphemeralRecord(priv)));
  Bytes connecting = Le({0, 0, 0});
  connecting.resize(14, 0);
  Request(RQC_PCONNECTING, connecting);
  Request(RQC_SETCLIENTSOCKET, Le({o.local, kClientPort}));
  SendToGateway(o, synrq);
  Bytes pki = Payload(TreatUntil(4));
  uint32_t la, lb;
  memcpy(&la, pki.data() + 4, 4);
  memcpy(&lb, pki.data() + 8, 4);
  if (la < 64 || pki.size() < 28 + lb + la) Die("no gateway key in the SYN reply");
  Request(RQC_CREATETRANSPORTKEY, Bytes(pki.begin() + 28 + lb, pki.begin() + 28 + lb + 64));
  Bytes synok = Payload(Request(RQC_MAKESYNOK, {}));
  SendToGateway(o, synok);
  Bytes block = Payload(TreatUntil(6));
  Bytes keys = Request(RQC_SETKEYS, KeyRecord(block.data(), o.local, kClientPort));
  if (keys[2] != 7) Die("keys refused");
  Bytes name(32, 0);
  memcpy(name.data(), o.adapter.data(), o.adapter.size());
  Bytes bound = Control(60, name);
  int32_t r;
  memcpy(&r, bound.data(), 4);
  if (r != 0) Die("tunnel adapter refused");
  printf("connected%s\n", keys[25] & 0x20 ? " mgm" : "");
  fflush(stdout);
}

// Prints the events the filter has queued.
void DrainEvents() {
  doorbells->drain();
  for (;;) {
    Bytes got = Control(IOCTL_GETCODE, Le({0}));
    uint32_t code;
    memcpy(&code, got.data() + 4, 4);
    if (!code) return;
    printf("event %u\n", code);
    fflush(stdout);
  }
}

// The receive errors counted on the gateway's address-table entry, as
// RQC_GETSTAT reads an entry back (the used entries stand together from
// the first).
uint32_t GatewayReceiveErrors(const Options &o) {
  constexpr size_t kAddress = offsetof(zor::addr::Entry, address);
  constexpr size_t kErrors = offsetof(zor::addr::Entry, data) + 4;  // after the received count
  for (uint32_t i = 0; i < zor::addr::kEntries; i++) {
    Bytes entry = Payload(Request(RQC_GETSTAT, Le({0, i})));
    if (entry.size() < zor::addr::kClientStatsSize) Die("no statistics");
    uint32_t address = load_le32(&entry[kAddress]);
    if (address == 0) break;
    if (address == o.gateway) return load_le32(&entry[kErrors]);
  }
  Die("no address-table entry of the gateway");
  return 0;
}

// State and events until the tunnel is gone. A session that ends between
// the events' drain and the state read has queued its event by then: the
// events are drained once more when the state reads 0.
void Watch(const Options &o) {
  uint8_t state = 7;
  while (!stop) {
    usleep(100000);
    DrainEvents();
    if (report) {
      report = 0;
      printf("recverr %u\n", GatewayReceiveErrors(o));
      fflush(stdout);
    }
    uint8_t now = Request(RQC_GETINFO, {})[2];
    if (now != state) {
      if (now == 0) DrainEvents();
      printf("state %u\n", now);
      fflush(stdout);
      state = now;
      if (now == 0) return;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool v = i + 1 < argc;
    in_addr addr{};
    if (a == "--gateway" && v && inet_pton(AF_INET, argv[++i], &addr) == 1)
      o.gateway = ntohl(addr.s_addr);
    else if (a == "--local" && v && inet_pton(AF_INET, argv[++i], &addr) == 1)
      o.local = ntohl(addr.s_addr);
    else if (a == "--adapter" && v)
      o.adapter = argv[++i];
    else if (a == "--mgm")
      o.mgm = true;
    else if (a == "--init-only" && v)
      o.init_only = (uint32_t)atoi(argv[++i]);
    else
      Die("usage: tunnel_driver --gateway A --local A [--adapter NAME] [--mgm]");
  }
  signal(SIGTERM, [](int) { stop = 1; });
  signal(SIGUSR1, [](int) { report = 1; });
  nl = std::make_unique<testnl::Client>(zornfhost::kControlPort);
  doorbells = std::make_unique<testnl::Client>(zornfhost::kControlPort);
  if (nl->lookup_family(std::string(zornfhost::kRequestFamily)) != zornfhost::kRequestFamilyId)
    Die("zornfhost's request family not found");
  udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kClientPort);
  local.sin_addr.s_addr = htonl(o.local);
  if (udp < 0 || bind(udp, (sockaddr *)&local, sizeof local) != 0) Die("udp socket");
  if (o.init_only) {
    uint32_t m = o.init_only;
    Request(RQC_SETFILTERPARAMS, Le({m, m, m, m, m, 0, 0}));
    Request(RQC_INIT, InitRecord(o.gateway));
    Bytes connecting = Le({0, 0, 0});
    connecting.resize(14, 0);
    Request(RQC_PCONNECTING, connecting);
    printf("initialised\n");
    return 0;
  }
  Connect(o);
  Watch(o);
  return 0;
}
