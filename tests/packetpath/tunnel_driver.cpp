// Brings a tunnel up through zornfhost the way the service does, for the
// namespace tests and the benchmark: control requests over zornfhost's
// netlink endpoint, the handshake datagrams over its own UDP socket to the
// gateway, then it watches the filter's state and events and prints
// "connected", "event N" and "state N" lines until the tunnel is gone (or
// SIGTERM).
//
//   tunnel_driver --gateway A.B.C.D --local A.B.C.D --adapter NAME [--mgm]
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/filter/daemon_records.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace zor::testrec;

constexpr uint32_t kControlPort = 0x7A4E0001;
constexpr uint16_t kRequestFamilyId = 0x7A4E;
constexpr uint16_t kClientPort = 40000;
volatile sig_atomic_t stop;

struct Options {
  uint32_t gateway = 0, local = 0;  // host order
  std::string adapter = "tap0";
  bool mgm = false;
};

int nl = -1, udp = -1;
uint32_t seq = 1;

void Die(const char *what) {
  fprintf(stderr, "tunnel_driver: %s\n", what);
  exit(1);
}

// One control request: code and data area (u32 total length, then data);
// the area as the filter left it.
Bytes Control(uint32_t code, const Bytes &data) {
  Bytes area(4 + data.size());
  uint32_t total = (uint32_t)area.size();
  memcpy(area.data(), &total, 4);
  memcpy(area.data() + 4, data.data(), data.size());
  uint32_t attrlen = 4 + 4 + (uint32_t)area.size();
  uint32_t msglen = 16 + 4 + ((attrlen + 3) & ~3u);
  Bytes m(msglen, 0);
  nlmsghdr h{msglen, kRequestFamilyId, NLM_F_REQUEST, seq++, 0};
  memcpy(m.data(), &h, 16);
  m[16] = 1;  // command
  m[17] = 1;  // version
  uint16_t al = (uint16_t)attrlen, at = 1;
  memcpy(m.data() + 20, &al, 2);
  memcpy(m.data() + 22, &at, 2);
  memcpy(m.data() + 24, &code, 4);
  memcpy(m.data() + 28, area.data(), area.size());
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = kControlPort;
  if (sendto(nl, m.data(), m.size(), 0, (sockaddr *)&to, sizeof to) < 0) Die("netlink send");
  Bytes buf(65536);
  for (;;) {
    pollfd p{nl, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0) Die("no answer from zornfhost");
    ssize_t n = recv(nl, buf.data(), buf.size(), 0);
    if (n < 28) continue;
    nlmsghdr r;
    memcpy(&r, buf.data(), 16);
    if (r.nlmsg_type != kRequestFamilyId || r.nlmsg_seq != h.nlmsg_seq) continue;
    uint16_t rl;
    memcpy(&rl, buf.data() + 20, 2);
    return Bytes(buf.begin() + 24, buf.begin() + 24 + (rl - 4));
  }
}

// A framed request: the reply header and payload.
Bytes Request(uint32_t code, const Bytes &payload, size_t room = 18408) {
  Bytes d(24 + room, 0);
  d[0] = 0x09;
  d[1] = 0x02;
  uint32_t len = (uint32_t)payload.size();
  memcpy(d.data() + 20, &len, 4);
  memcpy(d.data() + 24, payload.data(), payload.size());
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
    Bytes reply = Request(5, Bytes(buf.begin(), buf.begin() + n));
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
  sockaddr_nl self{};
  uint32_t len = sizeof self;
  getsockname(nl, (sockaddr *)&self, &len);
  Control(51, Le({self.nl_pid}));
  if (o.mgm) Request(37, Le({1}));
  Request(3, InitRecord(o.gateway));
  Request(25, AuxRecord(true));
  uint8_t priv[32];
  if (getrandom(priv, sizeof priv, 0) != sizeof priv) Die("random");
  priv[31] &= 0x3F;
  Bytes synrq = Payload(Request(6, EphemeralRecord(priv)));
  Bytes connecting = Le({0, 0, 0});
  connecting.resize(14, 0);
  Request(18, connecting);
  Request(40, Le({o.local, kClientPort}));
  SendToGateway(o, synrq);
  Bytes pki = Payload(TreatUntil(4));
  uint32_t la, lb;
  memcpy(&la, pki.data() + 4, 4);
  memcpy(&lb, pki.data() + 8, 4);
  if (la < 64 || pki.size() < 28 + lb + la) Die("no gateway key in the SYN reply");
  Request(31, Bytes(pki.begin() + 28 + lb, pki.begin() + 28 + lb + 64));
  Bytes synok = Payload(Request(9, {}));
  SendToGateway(o, synok);
  Bytes block = Payload(TreatUntil(6));
  Bytes keys = Request(10, KeyRecord(block.data(), o.local, kClientPort));
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

// State and events until the tunnel is gone.
void Watch() {
  uint8_t state = 7;
  while (!stop) {
    usleep(100000);
    for (;;) {
      Bytes got = Control(49, Le({0}));
      uint32_t code;
      memcpy(&code, got.data() + 4, 4);
      if (!code) break;
      printf("event %u\n", code);
      fflush(stdout);
    }
    uint8_t now = Request(0, {})[2];
    if (now != state) {
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
    else
      Die("usage: tunnel_driver --gateway A --local A [--adapter NAME] [--mgm]");
  }
  signal(SIGTERM, [](int) { stop = 1; });
  nl = socket(AF_NETLINK, SOCK_RAW, NETLINK_USERSOCK);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  if (nl < 0 || bind(nl, (sockaddr *)&self, sizeof self) != 0) Die("netlink socket");
  udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kClientPort);
  local.sin_addr.s_addr = htonl(o.local);
  if (udp < 0 || bind(udp, (sockaddr *)&local, sizeof local) != 0) Die("udp socket");
  Connect(o);
  Watch();
  return 0;
}
