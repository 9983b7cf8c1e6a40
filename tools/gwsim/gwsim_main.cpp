// Gateway simulator, handshake side: answers the client's handshake on UDP
// (port 87 by default) as the gateway would, with the misbehaviour that the
// command line asks for.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/gwsim/handshake_peer.h"

namespace {

volatile sig_atomic_t stop_requested;

void Usage() {
  fprintf(stderr,
          "usage: gwsim [--listen ADDR] [--port N] [--variant 16|17] [--options HEX]\n"
          "             [--fragment BYTES] [--shuffle] [--duplicate]\n"
          "             [--status CODE] [--okf-status CODE] [--status-value TEXT]\n"
          "             [--fault none|bad-crc|bad-magic|wrong-variant|truncate|oversize|\n"
          "                      frag-past|bad-okf-imit]\n"
          "             [--drop N] [--delay-ms MS]\n"
          "             [--stage-timeout SECONDS] [--keys-out FILE] [--ready-file FILE]\n");
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

}  // namespace

int main(int argc, char **argv) {
  gwsim::Options o;
  std::string listen_addr = "0.0.0.0", keys_out, ready_file;
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
  struct sigaction sa {};
  sa.sa_handler = [](int) { stop_requested = 1; };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (!ready_file.empty()) WriteHex(ready_file, nullptr, 0);
  fprintf(stderr, "gwsim: listening on %s:%d, variant %d\n", listen_addr.c_str(), port, o.variant);

  gwsim::HandshakePeer peer(o);
  uint8_t buf[65536];
  while (!stop_requested) {
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &flen);
    if (n < 0) continue;
    if (drop > 0) {
      --drop;
      fprintf(stderr, "gwsim: %zd bytes in, dropped\n", n);
      continue;
    }
    if (delay_ms > 0) usleep((useconds_t)(delay_ms * 1000));
    auto replies = peer.Handle(buf, (size_t)n);
    if (!peer.error().empty()) fprintf(stderr, "gwsim: refused: %s\n", peer.error().c_str());
    if (peer.keys_ready() && !keys_out.empty()) WriteHex(keys_out, peer.key_block(), 64);
    for (auto &r : replies) sendto(fd, r.data(), r.size(), 0, (sockaddr *)&from, flen);
    fprintf(stderr, "gwsim: %zd bytes in, %zu datagrams out\n", n, replies.size());
  }
  close(fd);
  return 0;
}
