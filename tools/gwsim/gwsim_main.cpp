// Gateway simulator: answers the client's handshake on UDP (port 87 by
// default) as the gateway would, with the misbehaviour that the command line
// asks for; once the keys are made it carries the tunnel's data between the
// client and a TUN device (--tun), and takes commands on a FIFO (--control):
//   keychange      start a key change of the gateway's direction
//   status CODE    send an in-tunnel status (e.g. 31, 25)
//   oob-level N    send the access level N (out-of-band code 2)
//   corrupt N      flip a byte in each of the next N data datagrams
//   silent         answer nothing from now on
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "kernel/filter/wire_format.h"
#include "tools/gwsim/handshake_peer.h"
#include "tools/gwsim/tunnel_peer.h"

namespace {

volatile sig_atomic_t stop_requested;

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

int OpenTun(const std::string &name) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) != 0) {
    perror("gwsim: tun");
    exit(1);
  }
  // A gateway's queue towards the tunnel: deep enough that a TCP burst
  // routed into it is not cut while a batch is being protected.
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifr.ifr_qlen = 2048;
  if (sock < 0 || ioctl(sock, SIOCSIFTXQLEN, &ifr) != 0) perror("gwsim: tun queue length");
  if (sock >= 0) close(sock);
  return fd;
}

// Datagrams and packets are taken this many at a time (recvmmsg, sendmmsg,
// reads of the TUN device until it is empty), so that their protection runs
// side by side.
constexpr size_t kBatch = 64;

// The data side of one session and the commands that steer it. The client's
// datagrams are taken on the main thread, the TUN device's packets on the
// downlink thread; recv_mu guards the peer's receive side, send_mu its send
// side (a datagram that is not data, a command or a new peer takes both).
struct DataSide {
  int udp = -1, tun = -1;
  bool mgm = false, silent = false;
  int corrupt = 0;
  std::unique_ptr<gwsim::TunnelPeer> peer;
  sockaddr_in client{};
  std::mutex recv_mu, send_mu;

  // Caller holds send_mu. The tunnel's own datagrams go without DF, as the
  // client sends its own.
  void Send(const gwsim::Bytes &d) { SendAll({d}); }
  void SendAll(const std::vector<gwsim::Bytes> &ds) { SendAll(ds, std::vector<bool>(ds.size())); }
  // Data datagrams: the outer header keeps the inner packet's DF bit
  // (df[i]). The socket's default mode (DF while the datagram fits the path)
  // serves those with DF; a run of those without goes with DF off.
  void SendAll(const std::vector<gwsim::Bytes> &ds, const std::vector<bool> &df) {
    if (silent || !peer) return;
    for (size_t i = 0; i < ds.size();) {
      size_t end = i + 1;
      while (end < ds.size() && end - i < kBatch && df[end] == df[i]) end++;
      if (!df[i]) SetPathMtuMode(IP_PMTUDISC_DONT);
      SendRun(ds, i, end);
      if (!df[i]) SetPathMtuMode(IP_PMTUDISC_WANT);
      i = end;
    }
  }
  void SetPathMtuMode(int mode) {
    if (setsockopt(udp, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode) != 0)
      perror("gwsim: IP_MTU_DISCOVER");
  }
  // Datagrams [from, to) of ds, at most kBatch, in one go.
  void SendRun(const std::vector<gwsim::Bytes> &ds, size_t from, size_t to) {
    mmsghdr msgs[kBatch] = {};
    iovec iov[kBatch];
    size_t n = to - from;
    for (size_t k = 0; k < n; k++) {
      iov[k] = {const_cast<uint8_t *>(ds[from + k].data()), ds[from + k].size()};
      msgs[k].msg_hdr.msg_iov = &iov[k];
      msgs[k].msg_hdr.msg_iovlen = 1;
      msgs[k].msg_hdr.msg_name = &client;
      msgs[k].msg_hdr.msg_namelen = sizeof client;
    }
    for (size_t sent = 0; sent < n;) {
      int r = sendmmsg(udp, msgs + sent, (unsigned)(n - sent), 0);
      if (r <= 0) break;
      sent += (size_t)r;
    }
  }

  // Datagrams of the client once the keys are made.
  void FromClient(std::vector<gwsim::Bytes> &batch) {
    std::unique_lock<std::mutex> recv(recv_mu);
    bool all_data = std::all_of(batch.begin(), batch.end(),
                                [&](const gwsim::Bytes &d) { return peer->IsSessionData(d); });
    std::unique_lock<std::mutex> send(send_mu, std::defer_lock);
    if (!all_data) send.lock();
    for (auto &r : peer->TakeBatch(batch, client.sin_addr.s_addr)) {
      if (!r.error.empty()) fprintf(stderr, "gwsim: tunnel datagram refused: %s\n", r.error.c_str());
      if (r.kind == gwsim::TunnelPeer::Kind::kData && tun >= 0 &&
          write(tun, r.inner.data(), r.inner.size()) < 0 && errno != EAGAIN)
        perror("gwsim: tun write");
      if (r.kind == gwsim::TunnelPeer::Kind::kOob && r.code != 16384)
        fprintf(stderr, "gwsim: out-of-band code %u\n", r.code);
      if (r.kind == gwsim::TunnelPeer::Kind::kKeyChange) fprintf(stderr, "gwsim: client key change\n");
      if (r.kind == gwsim::TunnelPeer::Kind::kAck) fprintf(stderr, "gwsim: key change acknowledged\n");
      SendAll(r.replies);
    }
  }

  // Packets from the TUN device for the client.
  void FromTun(const std::vector<gwsim::Bytes> &packets) {
    std::lock_guard<std::mutex> send(send_mu);
    if (!peer) return;
    std::vector<gwsim::Bytes> ds = peer->WrapBatch(packets);
    std::vector<bool> df(packets.size());
    for (size_t i = 0; i < packets.size(); i++)
      df[i] = gwsim::TunnelPeer::OuterFlags(packets[i].data()) != 0;
    for (auto &d : ds) {
      if (corrupt <= 0) break;
      corrupt--;
      d[d.size() - 1] ^= 0x01;
    }
    SendAll(ds, df);
  }

  void Command(const std::string &line) {
    std::scoped_lock both(recv_mu, send_mu);
    if (!peer) return;
    unsigned v = 0;
    if (line == "keychange") Send(peer->KeyChange());
    else if (sscanf(line.c_str(), "status %u", &v) == 1) Send(peer->Status(v));
    else if (sscanf(line.c_str(), "oob-level %u", &v) == 1) Send(peer->Oob(2, {(uint8_t)v}));
    else if (sscanf(line.c_str(), "corrupt %u", &v) == 1) corrupt = (int)v;
    else if (line == "silent") silent = true;
    else fprintf(stderr, "gwsim: unknown command %s\n", line.c_str());
    fprintf(stderr, "gwsim: command %s\n", line.c_str());
  }
};

// The TUN device's packets, read until it is empty, wrapped in one batch.
void DownlinkLoop(DataSide *data) {
  std::vector<uint8_t> buf(65536);
  while (!stop_requested) {
    pollfd p = {data->tun, POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    std::vector<gwsim::Bytes> packets;
    while (packets.size() < kBatch) {
      ssize_t n = read(data->tun, buf.data(), buf.size());
      if (n <= 0) break;
      if (n >= 20 && (buf[0] >> 4) == 4) packets.emplace_back(buf.data(), buf.data() + n);
    }
    if (!packets.empty()) data->FromTun(packets);
  }
}

void ReadCommands(int fd, DataSide &data) {
  static std::string pending;
  char buf[256];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return;
  pending.append(buf, (size_t)n);
  for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
    data.Command(pending.substr(0, nl));
}

bool IsHandshake(const uint8_t *d, size_t n) {
  uint8_t type = n > 4 ? (d[4] & 0x0f) : 0;
  return type == zor::wire::kSynRq || type == zor::wire::kSynOk;
}

}  // namespace

int main(int argc, char **argv) {
  gwsim::Options o;
  std::string listen_addr = "0.0.0.0", keys_out, ready_file, tun_name, control_path;
  bool mgm = false;
  int port = 87;
  long drop = 0, delay_ms = 0;   // datagrams ignored first; wait before answering
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
      {"dns-suffixes", 1, nullptr, 'n'},
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
  sa.sa_handler = [](int) { stop_requested = 1; };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  DataSide data;
  data.udp = fd;
  data.SetPathMtuMode(IP_PMTUDISC_WANT);
  data.mgm = mgm;
  if (!tun_name.empty()) data.tun = OpenTun(tun_name);
  int control = -1;
  if (!control_path.empty()) {
    mkfifo(control_path.c_str(), 0600);
    control = open(control_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  if (!ready_file.empty()) WriteHex(ready_file, nullptr, 0);
  fprintf(stderr, "gwsim: listening on %s:%d, variant %d\n", listen_addr.c_str(), port, o.variant);

  gwsim::HandshakePeer peer(o);
  std::thread downlink;
  if (data.tun >= 0) {
    fcntl(data.tun, F_SETFL, fcntl(data.tun, F_GETFL) | O_NONBLOCK);
    downlink = std::thread(DownlinkLoop, &data);
  }
  // A handshake datagram: answered as the options ask; completed keys start
  // a new data side.
  auto handshake = [&](const uint8_t *buf, size_t n, const sockaddr_in &from) {
    if (drop > 0) {
      --drop;
      fprintf(stderr, "gwsim: %zu bytes in, dropped\n", n);
      return;
    }
    if (delay_ms > 0) usleep((useconds_t)(delay_ms * 1000));
    std::scoped_lock both(data.recv_mu, data.send_mu);
    data.peer.reset();
    auto replies = peer.Handle(buf, n);
    if (!peer.error().empty()) fprintf(stderr, "gwsim: refused: %s\n", peer.error().c_str());
    if (peer.keys_ready() && !keys_out.empty()) WriteHex(keys_out, peer.key_block(), 64);
    for (auto &r : replies) sendto(fd, r.data(), r.size(), 0, (const sockaddr *)&from, sizeof from);
    fprintf(stderr, "gwsim: %zu bytes in, %zu datagrams out\n", n, replies.size());
    if (!peer.keys_ready()) return;
    data.client = from;
    data.peer = std::make_unique<gwsim::TunnelPeer>(gwsim::SessionOf(peer, data.mgm));
  };
  std::vector<std::vector<uint8_t>> bufs(kBatch, std::vector<uint8_t>(65536));
  while (!stop_requested) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {control, POLLIN, 0}};
    if (poll(fds, 2, 500) <= 0) continue;
    if (fds[1].revents & POLLIN) ReadCommands(control, data);
    if (!(fds[0].revents & POLLIN)) continue;
    mmsghdr msgs[kBatch] = {};
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    for (size_t k = 0; k < kBatch; k++) {
      iov[k] = {bufs[k].data(), bufs[k].size()};
      msgs[k].msg_hdr.msg_iov = &iov[k];
      msgs[k].msg_hdr.msg_iovlen = 1;
      msgs[k].msg_hdr.msg_name = &from[k];
      msgs[k].msg_hdr.msg_namelen = sizeof from[k];
    }
    int got = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (got <= 0 || data.silent) continue;
    // Data datagrams in a row go as one batch; a handshake datagram is
    // taken in its place in the order.
    std::vector<gwsim::Bytes> batch;
    auto flush = [&] {
      if (!batch.empty()) data.FromClient(batch);
      batch.clear();
    };
    for (int k = 0; k < got; k++) {
      const uint8_t *d = bufs[k].data();
      size_t n = msgs[k].msg_len;
      if (n == 0) continue;
      if (data.peer && !IsHandshake(d, n)) {
        batch.emplace_back(d, d + n);
        continue;
      }
      flush();
      handshake(d, n, from[k]);
    }
    flush();
  }
  if (downlink.joinable()) downlink.join();
  close(fd);
  return 0;
}
