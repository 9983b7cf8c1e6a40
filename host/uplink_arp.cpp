#include "host/uplink_arp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/host_log.h"

namespace zornfhost {
namespace {

// arp_ignore: answer no ARP request on the device.
constexpr int kAnswerNone = 8;

std::string arp_ignore_path(const std::string &uplink) {
  return "/proc/sys/net/ipv4/conf/" + uplink + "/arp_ignore";
}

bool read_value(const std::string &path, int *value) {
  FILE *f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  const bool ok = std::fscanf(f, "%d", value) == 1;
  std::fclose(f);
  return ok;
}

bool write_value(const std::string &path, int value) {
  FILE *f = std::fopen(path.c_str(), "we");
  if (!f) return false;
  const bool ok = std::fprintf(f, "%d\n", value) > 0;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int silence_uplink_arp(const std::string &uplink) {
  const std::string path = arp_ignore_path(uplink);
  int was = 0;
  if (read_value(path, &was) && was == kAnswerNone) return -1;
  if (!write_value(path, kAnswerNone)) {
    host_log("zornfhost: uplink %s: its own stack may answer ARP for the TAP's addresses: %s",
             uplink.c_str(), strerror(errno));
    return -1;
  }
  host_log("zornfhost: uplink %s: its own stack answers no ARP now (arp_ignore %d, was %d)",
           uplink.c_str(), kAnswerNone, was);
  return was;
}

void restore_uplink_arp(const std::string &uplink, int saved) {
  if (saved >= 0) write_value(arp_ignore_path(uplink), saved);
}

}  // namespace zornfhost
