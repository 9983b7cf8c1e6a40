// Frames per second through the firewall's packet check with 10,000 live
// TCP sessions: the filter's objects in-process on the test host, every
// frame an ACK of one of the sessions in turn. Prints
// `firewall fps <figure> sessions <count>`.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kern_host.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/ip_helpers.h"
#include "tests/host/test_host.h"

namespace {

constexpr uint32_t kSessions = 10000;
constexpr uint32_t kRounds = 200;

// An Ethernet frame of a TCP segment of session i from the local stack.
std::vector<uint8_t> Segment(uint32_t i, uint8_t flags) {
  std::vector<uint8_t> f(14 + 20 + 20 + 64, 0);
  store_be16(&f[12], 0x0800);
  uint8_t *ip = &f[14];
  ip[0] = 0x45;
  store_be16(ip + 2, (uint16_t)(f.size() - 14));
  ip[8] = 64;
  ip[9] = 6;
  store_be32(ip + 12, 0xCB007102u);                         // 203.0.113.2
  store_be32(ip + 16, 0xC6336400u + (i % 250) + 1);         // 198.51.100.x
  uint8_t *tcp = ip + 20;
  store_be16(tcp, (uint16_t)(20000 + i / 250));
  store_be16(tcp + 2, 443);
  store_be32(tcp + 4, 1000);
  tcp[12] = 5 << 4;
  tcp[13] = flags;
  CalcChecksum(ip);
  CalcUdpTcpChkSum(ip);
  return f;
}

}  // namespace

int main() {
  if (Zor_init_module() != 0) return 1;
  std::vector<std::vector<uint8_t>> acks;
  for (uint32_t i = 0; i < kSessions; i++) {
    std::vector<uint8_t> syn = Segment(i, TCP_SYN);
    FIREWALL_CheckPacket(0, nullptr, syn.data(), syn.data() + 14, (uint32_t)syn.size(), 1, nullptr);
    acks.push_back(Segment(i, TCP_ACK));
  }
  uint32_t info[4];
  FIREWALL_GetInformation(info);
  uint64_t frames = 0, refused = 0;
  auto start = std::chrono::steady_clock::now();
  for (uint32_t r = 0; r < kRounds; r++)
    for (auto &f : acks) {
      refused += FIREWALL_CheckPacket(0, nullptr, f.data(), f.data() + 14, (uint32_t)f.size(), 1,
                                      nullptr);
      frames++;
    }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("firewall fps %.0f sessions %u\n", (double)frames / s, info[0]);
  Zor_cleanup_module();
  return refused ? 1 : 0;
}
