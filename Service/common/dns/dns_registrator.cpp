#include "Service/common/dns/dns_registrator.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "Service/common/dns/dns_text.h"
#include "Service/common/dns/dns_update_servers.h"
#include "Service/common/dns/krb5_realm_config.h"
#include "Service/common/dns/nsupdate_exchange.h"
#include "cross/utils/log.h"

namespace {

std::thread g_periodic_thread;
std::atomic<bool> g_periodic_running{false};

constexpr const char* kKrb5Conf = "/etc/krb5.conf";
constexpr int kPeriodicSeconds = 900;
constexpr int kConnectAttempts = 5;

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(kDnsRegistratorModule, line, function, text.c_str());
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

void PublishDnsUpdateServers() {
  std::vector<uint32_t> addresses;
  for (const std::string& text : dns_update_server_ips) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
      logLine(__LINE__, "PublishDnsUpdateServers", "DNS SOA: invalid IPv4 from resolver: " + text);
      continue;
    }
    addresses.push_back(ntohl(address.s_addr));
  }
  if (int n = DnsRegistratorCurrentHooks().SetDnsUpdateServers(addresses); n != 0)
    logLine(__LINE__, "PublishDnsUpdateServers", "DNS SOA: SetDnsUpdateServers failed, ret=" + std::to_string(n));
}

// One second; a signal does not shorten it.
void sleepOneSecond() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void PeriodicUpdateThread() {
  while (g_periodic_running.load()) {
    for (int count = kPeriodicSeconds; count > 0 && g_periodic_running.load(); count--) sleepOneSecond();
    if (g_periodic_running.load()) UpdateDnsNow(last_updated_ip);
  }
}

}  // namespace

std::string read_default_realm_from_krb5_conf(const std::string& path) {
  std::ifstream in(path);
  if (!in) return "";
  bool wanted = false;
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line.substr(0, line.find_first_of("#;")));
    if (line.empty()) continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      wanted = close != std::string::npos && trim(line.substr(1, close - 1)) == "libdefaults";
      continue;
    }
    size_t eq = line.find('=');
    if (!wanted || eq == std::string::npos) continue;
    if (trim(line.substr(0, eq)) == "default_realm") return trim_trailing_dot(trim(line.substr(eq + 1)));
  }
  return "";
}

bool UpdateDnsNow(const std::string& ip) {
  const char* fn = "UpdateDnsNow";
  try {
    char buffer[256] = {};
    if (gethostname(buffer, 255) != 0) throw_errno("gethostname");
    std::string hostName = trim_trailing_dot(trim(buffer));
    std::string shortName = hostName.substr(0, hostName.find('.'));
    std::string principalHost = upper(shortName);
    std::string realm = read_default_realm_from_krb5_conf(kKrb5Conf);
    bool derived = realm.empty();
    if (derived) {
      size_t dot = hostName.find('.');
      if (dot != std::string::npos && dot + 1 < hostName.size()) realm = hostName.substr(dot + 1);
    }
    kerberos_realm = upper(realm);
    if (kerberos_realm.empty()) {
      logLine(__LINE__, fn, "UpdateDnsNow: Kerberos realm is empty, skip DNS update");
      return false;
    }
    dns_update_zone = lower(kerberos_realm);
    std::string record = shortName + "." + dns_update_zone;
    dns_update_server_ips = ResolveDnsUpdateServerIPs();
    PublishDnsUpdateServers();
    // kinit finds no realm of its own in a configuration that names none.
    std::optional<DerivedRealmConfig> realmConfig;
    if (derived) realmConfig.emplace(kerberos_realm);
    update_dns(ip, record, principalHost, realmConfig ? realmConfig->searchList() : std::string());
    if (&ip != &last_updated_ip) last_updated_ip = ip;
    return true;
  } catch (const std::exception& e) {
    logLine(__LINE__, fn, "NAT IP: activating was not completed!");
    logLine(__LINE__, fn, std::string("Status: ") + e.what());
    return false;
  }
}

bool UpdateDnsNow() { return UpdateDnsNow(last_updated_ip); }

void StartPeriodicUpdate() {
  if (g_periodic_running.exchange(true)) return;
  g_periodic_thread = std::thread(PeriodicUpdateThread);
}

void StopPeriodicUpdate() {
  g_periodic_running.exchange(false);
  if (g_periodic_thread.joinable()) g_periodic_thread.join();
}

bool OnVpnConnected(const std::string& ip) {
  for (int attempt = 0; attempt < kConnectAttempts; attempt++) {
    bool ok = false;
    try {
      ok = UpdateDnsNow(ip);
    } catch (const std::exception& e) {
      logLine(__LINE__, "OnVpnConnected", e.what());
    }
    if (!ok) continue;
    StartPeriodicUpdate();
    logLine(__LINE__, "OnVpnConnected", "NAT IP: periodic update started!");
    return true;
  }
  return false;
}

bool OnVpnDisconnected() {
  StopPeriodicUpdate();
  logLine(__LINE__, "OnVpnDisconnected", "NAT IP: periodic update stopped!");
  DnsRegistratorCurrentHooks().SetDnsUpdateServers({});
  dns_update_server_ips.clear();
  return true;
}

bool InitDnsState() {
  try {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) throw std::runtime_error("socket failed");
    ifreq request{};
    snprintf(request.ifr_name, IFNAMSIZ, "%s", active_adapter_name.c_str());
    if (ioctl(s, SIOCGIFADDR, &request) < 0) {
      close(s);
      throw std::runtime_error("ioctl SIOCGIFADDR failed");
    }
    close(s);
    active_adapter_ip = inet_ntoa(reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr);
    if (active_adapter_ip.empty()) return false;
    logLine(__LINE__, "InitDnsState", "\t\t\tCurrent IP addr: " + active_adapter_ip);
    return true;
  } catch (const std::exception& e) {
    logLine(__LINE__, "InitDnsState", e.what());
    return false;
  }
}
