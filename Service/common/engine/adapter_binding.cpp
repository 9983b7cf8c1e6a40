#include "Service/common/engine/adapter_binding.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Service/common/engine/drv_channel.h"
#include "cross/utils/log.h"

const char* proc_net_route_path = "/proc/net/route";

namespace {

constexpr unsigned RTF_UP_BIT = 1, RTF_GATEWAY_BIT = 2;

void logLine(int line, const char* text) { GetLog().WriteToLogFL(__FILE__, line, "setAdapter", text); }

// Calls f(line) for every route line after the header; false when the
// table cannot be opened.
template <typename F>
bool forEachRoute(F f) {
  FILE* in = std::fopen(proc_net_route_path, "r");
  if (!in) return false;
  char line[512];
  bool header = true;
  while (std::fgets(line, sizeof line, in)) {
    if (header) {
      header = false;
      continue;
    }
    f(line);
  }
  std::fclose(in);
  return true;
}

void dotted3(char* out, uint32_t hostOrder) {
  snprintf(out, 16, "%03i.%03i.%03i.%03i", static_cast<int>(hostOrder >> 24), static_cast<int>((hostOrder >> 16) & 255),
           static_cast<int>((hostOrder >> 8) & 255), static_cast<int>(hostOrder & 255));
}

uint32_t ifreqAddress(int sock, unsigned long request, const char* name) {
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
  if (ioctl(sock, request, &ifr) != 0) return 0;
  sockaddr_in a;
  std::memcpy(&a, &ifr.ifr_addr, sizeof a);
  return ntohl(a.sin_addr.s_addr);
}

// IANA ifType and address length of an ARP hardware type.
void hardwareKind(unsigned short hw, uint32_t* type, uint32_t* len) {
  switch (hw) {
    case ARPHRD_ETHER: *type = 6; *len = 6; break;
    case ARPHRD_PRONET: case ARPHRD_IEEE802_TR: *type = 9; *len = 6; break;
    case ARPHRD_FDDI: *type = 15; *len = 6; break;
    case ARPHRD_PPP: *type = 23; *len = 0; break;
    case ARPHRD_LOOPBACK: *type = 24; *len = 0; break;
    case ARPHRD_SLIP: *type = 28; *len = 0; break;
    default: *type = 1; *len = 14; break;
  }
}

void fillNic(int sock, unsigned index, const char* name, tSTRUCTNICINFO* rec) {
  std::memset(rec, 0, sizeof *rec);
  rec->index = index;
  std::snprintf(rec->name, sizeof rec->name, "%s", name);
  std::snprintf(rec->description, sizeof rec->description, "Full name '%s'", name);
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
  if (ioctl(sock, SIOCGIFMTU, &ifr) == 0) rec->mtu = static_cast<uint64_t>(ifr.ifr_mtu);
  dotted3(rec->ip, ifreqAddress(sock, SIOCGIFADDR, name));
  rec->type = 1;
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
  if (ioctl(sock, SIOCGIFHWADDR, &ifr) == 0) {
    uint32_t type = 1, length = 0;
    hardwareKind(ifr.ifr_hwaddr.sa_family, &type, &length);
    rec->type = type;
    rec->addressLength = length;
    std::memcpy(rec->address, ifr.ifr_hwaddr.sa_data, length);
  }
  dotted3(rec->netmask, ifreqAddress(sock, SIOCGIFNETMASK, name));
  uint32_t gw = 0;
  getAdapterGatewayByName(&gw, name, static_cast<int>(sizeof rec->name));
  dotted3(rec->gateway, ntohl(gw));
}

}  // namespace

int getSocketBestAdapterName(uint32_t address, char* name, int size) {
  if (size > 0) name[0] = '\0';
  std::string best;
  int bestPrefix = -1;
  unsigned bestMetric = 0;
  bool ok = forEachRoute([&](const char* line) {
    char ifname[128];
    unsigned dest, flags, metric, mask;
    if (std::sscanf(line, "%127s %x %*x %x %*u %*u %u %x", ifname, &dest, &flags, &metric, &mask) != 5) return;
    if (!(flags & RTF_UP_BIT)) return;
    dest = ntohl(dest);
    mask = ntohl(mask);
    if (((dest ^ address) & mask) != 0) return;
    int prefix = __builtin_popcount(mask);
    if (prefix > bestPrefix || (prefix == bestPrefix && metric < bestMetric)) {
      best = ifname;
      bestPrefix = prefix;
      bestMetric = metric;
    }
  });
  if (!ok) return 1;
  if (best.empty()) return 2;
  if (size > 0) std::snprintf(name, static_cast<size_t>(size), "%s", best.c_str());
  return 0;
}

int getAdapterGatewayByName(uint32_t* gateway, const char* name, int size) {
  size_t limit = static_cast<size_t>(size < 16 ? size : 16);
  if (!name || !*name || strnlen(name, limit) >= limit) return 1;
  uint32_t found = 0;
  bool have = false;
  bool ok = forEachRoute([&](const char* line) {
    char ifname[128];
    unsigned dest, gw, flags, metric, mask;
    if (have) return;
    if (std::sscanf(line, "%127s %x %x %x %*u %*u %u %x", ifname, &dest, &gw, &flags, &metric, &mask) != 6) return;
    if (std::strcmp(ifname, name) != 0) return;
    if ((flags & (RTF_UP_BIT | RTF_GATEWAY_BIT)) != (RTF_UP_BIT | RTF_GATEWAY_BIT)) return;
    found = gw;
    have = true;
  });
  if (!ok) return 1;
  *gateway = found;
  return 0;
}

int setAdapter(uint32_t gateway, uint32_t bind) {
  char name[1024];
  getSocketBestAdapterName(gateway, name, sizeof name);
  if (!bind) return 0;
  if (name[0] == '\0') {
    logLine(__LINE__, "Best VPN Adapter not found");
  } else {
    char text[1100];
    std::snprintf(text, sizeof text, "VPN Adapter to VESK was set to '%s'", name);
    logLine(__LINE__, text);
  }
  std::vector<uint8_t> out;
  uint32_t got = 0;
  int r = DRV_RawRequest(IOCTL_SETVPNADAPTER, name, static_cast<uint32_t>(std::strlen(name)), out, &got);
  if (r == 0) {
    // The answer word took the prefix's place; the name follows it.
    const char* used_name = reinterpret_cast<const char*>(out.data());
    std::string used(used_name, strnlen(used_name, got));
    char text[2200];
    if (used != name)
      std::snprintf(text, sizeof text, "setAdapter: MISMATCH! requested '%s' but filter uses '%s'", name,
                    used.c_str());
    else
      std::snprintf(text, sizeof text, "Actual VPN Adapter is '%s'", name);
    logLine(__LINE__, text);
    active_adapter_name = used;
  }
  uint32_t gw = 0;
  if (getAdapterGatewayByName(&gw, active_adapter_name.c_str(), 16) == 0 && gw != 0) {
    uint32_t reversed = __builtin_bswap32(gw);
    DrvReply reply;
    DRV_Request(RQC_SETVESKGATEWAY, &reversed, 4, 4, reply);
  }
  return r;
}

int checkAdapter(uint32_t) { return 0; }

// Only reads. A value of 0 once asked the kernel for an MTU of 0, which it
// refuses for most interfaces but takes for the loopback (the machine then
// loses 127.0.0.1 and ::1): that call answers what a refusal answers and
// changes nothing.
int getsetAdapterMtu(const char* name, uint32_t* value) {
  if (*value == 0) {
    std::string text = std::string("Setting the MTU of '") + name + "' to 0 refused, no MTU is changed";
    GetLog().WriteToLogFL(__FILE__, __LINE__, "getsetAdapterMtu", text.c_str());
    return 2;
  }
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 1;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  int r = 0;
  if (ioctl(sock, SIOCGIFMTU, &ifr) != 0)
    r = 2;
  else
    *value = static_cast<uint32_t>(ifr.ifr_mtu);
  close(sock);
  return r;
}

int GetNICs(int* count, tSTRUCTNICINFO* records, size_t capacity) {
  *count = 0;
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 1;
  struct if_nameindex* list = if_nameindex();
  if (!list) {
    close(sock);
    return 2;
  }
  for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", i->if_name);
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0 || (ifr.ifr_flags & IFF_LOOPBACK)) continue;
    if (records) {
      // Interfaces that appeared since the caller counted find no room.
      if (static_cast<size_t>(*count) == capacity) break;
      fillNic(sock, i->if_index, i->if_name, &records[*count]);
    }
    ++*count;
  }
  if_freenameindex(list);
  close(sock);
  return 0;
}
