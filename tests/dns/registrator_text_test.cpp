// The registrator's pieces that need no servers: the gateway's DNS-server
// records, address texts, the nsupdate script, the Kerberos configuration
// reader, the update's preconditions, the periodic thread and the adapter
// address probe.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "Service/common/dns/dns_registrator.h"
#include "Service/common/dns/dns_text.h"
#include "Service/common/dns/dns_update_servers.h"
#include "Service/common/dns/nsupdate_exchange.h"
#include "tests/common/test_dir.h"
#include "tests/service/service_env.h"

namespace {

std::vector<uint8_t> payloadOf(const std::vector<VeskCfgEntry>& entries, size_t extra = 0) {
  std::vector<uint8_t> bytes(entries.size() * sizeof(VeskCfgEntry) + extra, 0xEE);
  if (!entries.empty()) memcpy(bytes.data(), entries.data(), entries.size() * sizeof(VeskCfgEntry));
  return bytes;
}

constexpr uint32_t kNs53 = 0xC0000235;  // 192.0.2.53
constexpr uint32_t kNs54 = 0xC0000236;  // 192.0.2.54

TEST(VeskDnsServers, TakesDistinctNonZeroDnsMarkedEntriesInOrder) {
  auto p = payloadOf({{kNs53, 32, VESKCFG_DNS_SERVER}, {kNs53, 32, VESKCFG_DNS_SERVER},
                      {kNs54, 32, VESKCFG_PLAIN_ADDRESS}, {0, 32, VESKCFG_DNS_SERVER},
                      {kNs54, 24, 7}, {0xC6336401, 32, VESKCFG_DNS_SERVER}},
                     11);
  EXPECT_EQ(DnsServersOfVeskCfg(p.data(), p.size()), (std::vector<uint32_t>{kNs53, 0xC6336401}));
  EXPECT_TRUE(DnsServersOfVeskCfg(p.data(), 11).empty());
  EXPECT_TRUE(DnsServersOfVeskCfg(nullptr, 36).empty());
}

std::vector<uint8_t> g_payload;
const uint8_t* testVeskCfg(uint32_t* size, void*) {
  *size = static_cast<uint32_t>(g_payload.size());
  return g_payload.data();
}

TEST(VeskDnsServers, LogsEachServerOnceAndWhatIsMissing) {
  SetDnsRegistratorHooks({testVeskCfg, nullptr});
  g_payload = payloadOf({{kNs53, 0, 0}, {kNs53, 0, 0}, {kNs54, 0, 1}});
  EXPECT_EQ(GetVeskDnsServers(), std::vector<uint32_t>{kNs53});
  std::string log = ServiceLogText();
  size_t first = log.find("DNS SOA: VESK DNS server 192.0.2.53");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("DNS SOA: VESK DNS server 192.0.2.53", first + 1), std::string::npos);

  g_payload = payloadOf({{kNs54, 0, 1}});
  EXPECT_TRUE(ResolveDnsUpdateServerIPs().empty());
  EXPECT_NE(ServiceLogText().find("DNS SOA: VESK dynamic config has no DNS-marked servers"), std::string::npos);
  EXPECT_NE(ServiceLogText().find("DNS SOA: no VESK DNS servers, skip SOA resolve"), std::string::npos);

  g_payload.assign(11, 0);
  EXPECT_TRUE(GetVeskDnsServers().empty());
  EXPECT_NE(ServiceLogText().find("DNS SOA: no VESK DNS servers in dynamic config"), std::string::npos);
  g_payload.clear();
}

TEST(IPv4HostOrderToString, WritesOctetsMostSignificantFirst) {
  EXPECT_EQ(IPv4HostOrderToString(kNs53), "192.0.2.53");
  EXPECT_EQ(IPv4HostOrderToString(0), "0.0.0.0");
  EXPECT_EQ(IPv4HostOrderToString(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(IPv4HostOrderToString(0xCB007105), "203.0.113.5");
}

TEST(NsupdateScript, IsFiveLinesForOneServer) {
  EXPECT_EQ(NsupdateScript("192.0.2.53", "CORP.EXAMPLE", "pc1.corp.example", "198.51.100.9"),
            "server 192.0.2.53\nrealm CORP.EXAMPLE\nupdate delete pc1.corp.example. A\n"
            "update add pc1.corp.example. 900 A 198.51.100.9\nsend\n");
}

TEST(NsupdateScript, RefusesTextsThatCouldAddCommands) {
  struct Case {
    const char *server, *realm, *record, *ip;
  } cases[] = {
      {"192.0.2.53", "CORP.EXAMPLE", "pc1.corp.example\nupdate delete corp.example", "198.51.100.9"},
      {"192.0.2.53", "CORP.EXAMPLE", "pc1 corp", "198.51.100.9"},
      {"192.0.2.53", "CORP.EXAMPLE\nsend", "pc1.corp.example", "198.51.100.9"},
      {"192.0.2.53", "", "pc1.corp.example", "198.51.100.9"},
      {"192.0.2.53", "CORP.EXAMPLE", "pc1.corp.example", "198.51.100.9\nupdate add x. 1 A 1.2.3.4"},
      {"192.0.2.53", "CORP.EXAMPLE", "pc1.corp.example", "pc1"},
      {"192.0.2.53 local", "CORP.EXAMPLE", "pc1.corp.example", "198.51.100.9"},
      {"ns1.corp.example", "CORP.EXAMPLE", "pc1.corp.example", "198.51.100.9"},
  };
  for (const Case& c : cases)
    EXPECT_THROW(NsupdateScript(c.server, c.realm, c.record, c.ip), std::invalid_argument) << c.record << c.ip;
}

TEST(UpdateDns, PreconditionsThrowBeforeAnythingRuns) {
  dns_update_server_ips.clear();
  kerberos_realm = "CORP.EXAMPLE";
  try {
    update_dns("198.51.100.9", "pc1.corp.example", "PC1", "");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "DNS SOA: no explicit update servers, skip nsupdate");
  }
  dns_update_server_ips = {"192.0.2.53"};
  kerberos_realm.clear();
  try {
    update_dns("198.51.100.9", "pc1.corp.example", "PC1", "");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "DNS SOA: Kerberos realm is empty, skip nsupdate");
  }
  dns_update_server_ips.clear();
}

TEST(ReadDefaultRealm, OnlyLibdefaultsDefaultRealmCounts) {
  struct Case {
    const char* text;
    const char* realm;
  } cases[] = {
      {"[ libdefaults ]\n  default_realm = corp.example. # main\n", "corp.example"},
      {"[libdefaults]\n default_realm = A.EXAMPLE ; x\n default_realm = B.EXAMPLE\n", "A.EXAMPLE"},
      {"default_realm = X.EXAMPLE\n[libdefaults]\n dns_lookup_kdc = false\n", ""},
      {"[realms]\n default_realm = X.EXAMPLE\n", ""},
      {"[LIBDEFAULTS]\n default_realm = X.EXAMPLE\n", ""},
      {"[libdefaults]\n[realms\n default_realm = X.EXAMPLE\n", ""},
      {"[libdefaults]\n default_realm\n default_realm=Y.EXAMPLE..\n", "Y.EXAMPLE"},
      {"[realms]\n[libdefaults]\n#default_realm = X\n default_realm = Z.EXAMPLE\n", "Z.EXAMPLE"},
  };
  TestDir dir;
  for (const Case& c : cases) {
    writeWholeFile(dir.file("krb5.conf"), c.text);
    EXPECT_EQ(read_default_realm_from_krb5_conf(dir.file("krb5.conf")), c.realm) << c.text;
  }
  EXPECT_EQ(read_default_realm_from_krb5_conf(dir.file("missing.conf")), "");
}

TEST(DnsText, TrimsBlanksAndEveryTrailingDot) {
  EXPECT_EQ(trim(" \t pc1.corp \n"), "pc1.corp");
  EXPECT_EQ(trim(" \t\n"), "");
  EXPECT_EQ(trim_trailing_dot("example.com.."), "example.com");
  EXPECT_EQ(trim_trailing_dot("..."), "");
}

size_t threadCount() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

TEST(PeriodicUpdate, StartsOneThreadAndStopsItPromptly) {
  size_t before = threadCount();
  StartPeriodicUpdate();
  StartPeriodicUpdate();
  EXPECT_EQ(threadCount(), before + 1);
  StopPeriodicUpdate();
  // A joined thread may stay listed for a moment after it ended.
  for (int i = 0; i < 500 && threadCount() != before; i++) usleep(10000);
  EXPECT_EQ(threadCount(), before);
  StopPeriodicUpdate();
}

std::vector<std::vector<uint32_t>> g_published;
int recordPublished(const std::vector<uint32_t>& servers) {
  g_published.push_back(servers);
  return 0;
}

TEST(OnVpnDisconnected, EmptiesTheFilterAndModuleLists) {
  SetDnsRegistratorHooks({nullptr, recordPublished});
  dns_update_server_ips = {"192.0.2.53"};
  EXPECT_TRUE(OnVpnDisconnected());
  ASSERT_EQ(g_published.size(), 1u);
  EXPECT_TRUE(g_published[0].empty());
  EXPECT_TRUE(dns_update_server_ips.empty());
  EXPECT_NE(ServiceLogText().find("NAT IP: periodic update stopped!"), std::string::npos);
}

TEST(InitDnsState, ReadsTheBoundAdaptersAddress) {
  active_adapter_name = "";
  EXPECT_FALSE(InitDnsState());
  EXPECT_NE(ServiceLogText().find("ioctl SIOCGIFADDR failed"), std::string::npos);
  active_adapter_name = "lo";
  EXPECT_TRUE(InitDnsState());
  EXPECT_EQ(active_adapter_ip, "127.0.0.1");
  EXPECT_NE(ServiceLogText().find("\t\t\tCurrent IP addr: 127.0.0.1"), std::string::npos);
  active_adapter_name.clear();
}

}  // namespace
