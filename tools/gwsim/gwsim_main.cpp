// Gateway simulator: answers the client's handshake on UDP (port 87 by
// default) as the gateway would, with the misbehaviour that the command line
// asks for; once the keys are made it carries the tunnel's data between the
// client and a TUN device (--tun), and takes commands on a FIFO (--control):
//   keychange      start a key change of the gateway's direction
//   status CODE    send an in-tunnel status (e.g. 31, 25)
//   oob-level N    send the access level N (out-of-band code 2)
//   corrupt N      flip a byte in each of the next N data datagrams
//   silent         answer nothing from now on
// --workers N protects and opens each direction's data datagrams on N
// threads (fewer than 2: on the reading threads themselves; the bytes are
// the same). Default: one per core beyond the two readers, at most 4.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/gwsim/data_side.h"
#include "tools/gwsim/handshake_peer.h"
#include "tools/gwsim/stop_flag.h"
#include "tools/gwsim/tun_device.h"
#include "tools/gwsim/tunnel_peer.h"
#include "tools/gwsim/udp_batches.h"

namespace {

const char kUsage[] =
    "usage: gwsim [options]\n"
    "The far side of the tunnel protocol, for tests: answers a client's handshake\n"
    "on UDP as the gateway would (or misbehaves as asked), then carries the\n"
    "tunnel's data between the client and a TUN device.\n"
    "\n"
    "Where it listens:\n"
    "  --listen ADDR           local IPv4 address (default 0.0.0.0)\n"
    "  --port N                UDP port (default 87)\n"
    "  --ready-file FILE       created once the socket is bound\n"
    "The handshake:\n"
    "  --variant 16|17         protocol variant chosen (default 17)\n"
    "  --options HEX           gateway options word (default 3: mode 3, MGM offered)\n"
    "  --fragment BYTES        cut the SYN reply into datagrams of at most BYTES (40 or more)\n"
    "  --shuffle               send those pieces in reverse order\n"
    "  --duplicate             send every piece twice\n"
    "  --status CODE           answer the SYN request with this status instead\n"
    "  --okf-status CODE       answer the SYN OK with this status instead\n"
    "  --status-value TEXT     value carried by status 24 or 19\n"
    "  --push-deadline SECONDS PKI push deadline from the SYN reply (negative: past)\n"
    "  --stage-timeout SECONDS stage time-out given to the client (default 5)\n"
    "  --dns-suffixes LIST     DNS search suffixes sent with the SYN OKF (\"a.example;b.example\")\n"
    "  --fault NAME            none, bad-crc, bad-magic, wrong-variant, truncate,\n"
    "                          oversize, frag-past, bad-okf-imit, bad-dyncfg-imit,\n"
    "                          silent-synok\n"
    "  --drop N                ignore the first N handshake datagrams\n"
    "  --delay-ms MS           wait MS before each handshake answer\n"
    "  --keys-out FILE         write the session's key block there, in hex\n"
    "The tunnel:\n"
    "  --tun NAME              TUN device for the data (created; bring it up yourself)\n"
    "  --mgm                   the data in MGM (for a client that enabled it; else MAC + OFB)\n"
    "  --control FIFO          commands, one a line: keychange, status CODE,\n"
    "                          oob-level N, corrupt N, silent\n"
    "  --workers N             threads that protect and open each direction's datagrams\n"
    "                          (0 or 1: the reading threads; default one per core\n"
    "                          beyond the two readers, at most 4)\n"
    "Other:\n"
    "  --help                  this text\n"
    "  --version               the version\n"
    "SIGTERM or SIGINT end it. Exit status 0, 1 when the socket or device fails,\n"
    "2 for bad options.\n"
    "Example: gwsim --listen 203.0.113.1 --tun gwtun0 --ready-file /tmp/gw.ready\n";

[[noreturn]] void Usage() {
  fputs(kUsage, stderr);
  exit(2);
}

// Written whole under a temporary name, then renamed: readers never see a part.
void WriteHex(const std::string &path, const uint8_t *p, size_t n) {
  std::string tmp = path + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f) return;
  for (size_t i = 0; i < n; ++i) fprintf(f, "%02x", p[i]);
  fprintf(f, "\n");
  fclose(f);
  rename(tmp.c_str(), path.c_str());
}

// The tunnel device's frames, taken whenever it has some.
void DownlinkLoop(gwsim::DataSide *data, int tun) {
  while (!gwsim::StopRequested()) {
    pollfd p = {tun, POLLIN, 0};
    if (poll(&p, 1, 500) > 0) data->FromTun();
  }
}

void ReadCommands(int fd, gwsim::DataSide &data) {
  static std::string pending;
  char buf[256];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return;
  pending.append(buf, (size_t)n);
  for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
    data.Command(pending.substr(0, nl));
}

}  // namespace

int main(int argc, char **argv) {
  gwsim::Options o;
  std::string listen_addr = "0.0.0.0", keys_out, ready_file, tun_name, control_path;
  bool mgm = false;
  int port = 87;
  long drop = 0, delay_ms = 0;   // datagrams ignored first; wait before answering
  gwsim::DataConfig config;
  const unsigned cores = std::thread::hardware_concurrency();
  config.workers = cores > 2 ? std::min(cores - 2, 4u) : 0;
  static const option kLong[] = {
      {"listen", 1, nullptr, 'l'},      {"port", 1, nullptr, 'p'},
      {"variant", 1, nullptr, 'v'},     {"options", 1, nullptr, 'o'},
      {"fragment", 1, nullptr, 'f'},    {"shuffle", 0, nullptr, 's'},
      {"duplicate", 0, nullptr, 'd'},   {"status", 1, nullptr, 'S'},
      {"okf-status", 1, nullptr, 'O'},  {"status-value", 1, nullptr, 'V'},
      {"fault", 1, nullptr, 'F'},       {"stage-timeout", 1, nullptr, 't'},
      {"keys-out", 1, nullptr, 'k'},    {"ready-file", 1, nullptr, 'r'},
      {"drop", 1, nullptr, 'D'},        {"delay-ms", 1, nullptr, 'w'},
      {"tun", 1, nullptr, 'T'},         {"mgm", 0, nullptr, 'M'},
      {"control", 1, nullptr, 'C'},     {"push-deadline", 1, nullptr, 'P'},
      {"dns-suffixes", 1, nullptr, 'n'}, {"workers", 1, nullptr, 'W'},
      {"help", 0, nullptr, 'h'},        {"version", 0, nullptr, 'x'},
      {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'l': listen_addr = optarg; break;
      case 'p': port = atoi(optarg); break;
      case 'v': o.variant = (uint8_t)atoi(optarg); break;
      case 'o': o.options = (uint32_t)strtoul(optarg, nullptr, 16); break;
      case 'f': o.fragment = (uint32_t)atoi(optarg); break;
      case 's': o.shuffle = true; break;
      case 'd': o.duplicate = true; break;
      case 'S': o.status_code = atoi(optarg); break;
      case 'O': o.okf_status_code = atoi(optarg); break;
      case 'V': o.status_value = optarg; break;
      case 'F':
        if (!gwsim::ParseFault(optarg, &o.fault)) Usage();
        break;
      case 't': o.stage_timeout = (uint32_t)atoi(optarg); break;
      case 'k': keys_out = optarg; break;
      case 'r': ready_file = optarg; break;
      case 'D': drop = atol(optarg); break;
      case 'w': delay_ms = atol(optarg); break;
      case 'T': tun_name = optarg; break;
      case 'M': mgm = true; break;
      case 'C': control_path = optarg; break;
      case 'n': o.dns_suffixes = optarg; break;
      case 'W': config.workers = (unsigned)atoi(optarg); break;
      case 'P':
        o.push_deadline = true;
        o.push_deadline_s = strtoll(optarg, nullptr, 10);
        break;
      case 'h': fputs(kUsage, stdout); return 0;
      case 'x': printf("gwsim %s\n", ZOR_VERSION); return 0;
      default: Usage();
    }
  }
  if ((o.variant != 16 && o.variant != 17) || (o.fragment && o.fragment < 40)) Usage();

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  if (fd < 0 || inet_pton(AF_INET, listen_addr.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, (sockaddr *)&addr, sizeof addr) != 0) {
    perror("gwsim: bind");
    return 1;
  }
  // The client sends a large offloaded segment as a burst of datagrams: room
  // for a window of them, so that a burst is not dropped while one is decrypted.
  int room = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
  struct sigaction sa {};
  sa.sa_handler = [](int) { gwsim::RequestStop(); };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  gwsim::EnableReceiveCoalescing(fd);
  gwsim::SetPathMtuMode(fd, IP_PMTUDISC_WANT);
  config.udp = fd;
  if (!tun_name.empty()) config.tun = gwsim::OpenTun(tun_name);
  gwsim::DataSide data(config);
  int control = -1;
  if (!control_path.empty()) {
    mkfifo(control_path.c_str(), 0600);
    control = open(control_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  if (!ready_file.empty()) WriteHex(ready_file, nullptr, 0);
  fprintf(stderr, "gwsim: listening on %s:%d, variant %d\n", listen_addr.c_str(), port, o.variant);

  gwsim::HandshakePeer peer(o);
  std::thread downlink;
  if (config.tun >= 0) downlink = std::thread(DownlinkLoop, &data, config.tun);
  // A handshake datagram: answered as the options ask; completed keys start
  // a new session's data side.
  auto handshake = [&](const uint8_t *buf, size_t n, const sockaddr_in &from) {
    if (drop > 0) {
      --drop;
      fprintf(stderr, "gwsim: %zu bytes in, dropped\n", n);
      return;
    }
    if (delay_ms > 0) usleep((useconds_t)(delay_ms * 1000));
    data.EndSession();
    auto replies = peer.Handle(buf, n);
    if (!peer.error().empty()) fprintf(stderr, "gwsim: refused: %s\n", peer.error().c_str());
    if (peer.keys_ready() && !keys_out.empty()) WriteHex(keys_out, peer.key_block(), 64);
    for (auto &r : replies) sendto(fd, r.data(), r.size(), 0, (const sockaddr *)&from, sizeof from);
    fprintf(stderr, "gwsim: %zu bytes in, %zu datagrams out\n", n, replies.size());
    if (peer.keys_ready()) data.StartSession(gwsim::SessionOf(peer, mgm), from);
  };
  while (!gwsim::StopRequested()) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {control, POLLIN, 0}};
    if (poll(fds, 2, 500) <= 0) continue;
    if (fds[1].revents & POLLIN) ReadCommands(control, data);
    if (fds[0].revents & POLLIN) data.FromClient(handshake);
  }
  if (downlink.joinable()) downlink.join();
  close(fd);
  return 0;
}
