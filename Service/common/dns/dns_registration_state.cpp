#include "Service/common/dns/dns_registration_state.h"

#include <mutex>

std::string active_adapter_name;
std::string active_adapter_ip;
std::string last_updated_ip;
std::string kerberos_realm;
std::string dns_update_zone;
std::vector<std::string> dns_update_server_ips;

namespace {

const uint8_t* noVeskCfg(uint32_t*, void*) { return nullptr; }
int filterNotTold(const std::vector<uint32_t>&) { return -1; }

std::mutex g_hooksLock;
DnsRegistratorHooks g_hooks = {noVeskCfg, filterNotTold};

}  // namespace

void SetDnsRegistratorHooks(const DnsRegistratorHooks& hooks) {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  if (hooks.getVeskCfg) g_hooks.getVeskCfg = hooks.getVeskCfg;
  if (hooks.SetDnsUpdateServers) g_hooks.SetDnsUpdateServers = hooks.SetDnsUpdateServers;
}

DnsRegistratorHooks DnsRegistratorCurrentHooks() {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  return g_hooks;
}
