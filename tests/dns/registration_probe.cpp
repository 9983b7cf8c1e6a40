// Runs the host's DNS registration as the daemon would, inside the test's
// namespaces, with the gateway's DNS servers given on the command line as
// the 12-byte records of its dynamic configuration. Prints what happened:
//   dns_registration_probe update|connect|resolve <ip or zone> <server>...
// Output lines: "result=0|1", "published=<servers told to the filter>;..."
// (one per call), "ticket-cache=present|absent" (the daemon's cache file),
// "krb5-config=<KRB5_CONFIG afterwards>|unset", "krb5ccname=<KRB5CCNAME
// afterwards>|unset", "servers=..." for resolve,
// then "---log---" and the daemon log.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Service/common/dns/dns_registrator.h"
#include "Service/common/dns/dns_update_servers.h"
#include "Service/common/dns/nsupdate_exchange.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"

namespace {

std::vector<VeskCfgEntry> g_config;

const uint8_t* givenConfig(uint32_t* size, void*) {
  *size = static_cast<uint32_t>(g_config.size() * sizeof(VeskCfgEntry));
  return reinterpret_cast<const uint8_t*>(g_config.data());
}

int printPublished(const std::vector<uint32_t>& servers) {
  std::cout << "published=";
  for (uint32_t s : servers) std::cout << IPv4HostOrderToString(s) << ",";
  std::cout << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* logPath = "/tmp/zor-probe-log.csv";
  snprintf(installDir, sizeof installDir, "/tmp");
  GetLog().CreateLogFile(logPath);
  for (int i = 3; i < argc; i++) {
    in_addr a{};
    inet_pton(AF_INET, argv[i], &a);
    g_config.push_back({ntohl(a.s_addr), 32, VESKCFG_DNS_SERVER});
    g_config.push_back({ntohl(a.s_addr) + 1, 32, VESKCFG_PLAIN_ADDRESS});
  }
  SetDnsRegistratorHooks({givenConfig, printPublished});
  std::string op = argv[1];
  bool ok = false;
  if (op == "update") {
    ok = UpdateDnsNow(argv[2]);
  } else if (op == "connect") {
    ok = OnVpnConnected(argv[2]);
    OnVpnDisconnected();
  } else if (op == "resolve") {
    dns_update_zone = argv[2];
    std::cout << "servers=";
    for (const std::string& s : ResolveDnsUpdateServerIPs()) std::cout << s << ",";
    std::cout << "\n";
    ok = true;
  }
  std::cout << "result=" << ok << "\n";
  std::cout << "ticket-cache=" << (access(kKerberosCredentialCache, F_OK) == 0 ? "present" : "absent") << "\n";
  const char* krb5Config = getenv("KRB5_CONFIG");
  std::cout << "krb5-config=" << (krb5Config ? krb5Config : "unset") << "\n";
  const char* krb5ccName = getenv("KRB5CCNAME");
  std::cout << "krb5ccname=" << (krb5ccName ? krb5ccName : "unset") << "\n";
  std::ifstream log(logPath);
  std::cout << "---log---\n" << log.rdbuf();
  return 0;
}
