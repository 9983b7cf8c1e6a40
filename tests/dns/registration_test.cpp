// The host's DNS registration against a real MIT KDC and BIND: the update
// servers found through the gateway's DNS servers, the record set with the
// host's key, and each way it can fail.
#include <gtest/gtest.h>

#include "tests/dns/kdc_bench.h"

namespace {

class Registration : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kdc.up()) << kdc.serverLogs(); }
  std::string run(const std::string& host, const std::vector<std::string>& args,
                  const std::string& keytab = "host.keytab") {
    return kdc.runProbe(host, kdc.file(keytab), kdc.file("krb5.conf"), args);
  }
  static bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }
  KdcBench kdc;
};

TEST_F(Registration, RegistersTheHostReplacingAStaleRecord) {
  ASSERT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 300 IN A 192.0.2.99\n");
  std::string out = run("pc1.corp.example", {"update", "198.51.100.7", "192.0.2.53"});
  EXPECT_TRUE(has(out, "result=1")) << out << kdc.serverLogs();
  EXPECT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 900 IN A 198.51.100.7\n");
  EXPECT_TRUE(has(out, "published=192.0.2.53,\n")) << out;
  EXPECT_TRUE(has(out, "DNS SOA: primary server ns1.corp.example")) << out;
  EXPECT_TRUE(has(out, "DNS SOA: resolved IPv4 192.0.2.53")) << out;
  EXPECT_TRUE(has(out, "nsupdate ok. code: 0")) << out;
  EXPECT_TRUE(has(out, "ticket-cache=absent")) << out;
}

// Another user's directory under the cache's old name in /tmp changes
// nothing: the ticket lives in root's run directory, named to the programs
// alone.
TEST_F(Registration, ASquattedTmpNameDoesNotStopTheRegistration) {
  std::string out = kdc.runProbe("pc1.corp.example", kdc.file("host.keytab"), kdc.file("krb5.conf"),
                                 {"update", "198.51.100.7", "192.0.2.53"},
                                 "mkdir -m 0700 /tmp/krb5cc_vpn_daemon && chown 1001:1001 /tmp/krb5cc_vpn_daemon");
  EXPECT_TRUE(has(out, "result=1")) << out << kdc.serverLogs();
  EXPECT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 900 IN A 198.51.100.7\n");
  EXPECT_TRUE(has(out, "ticket-cache=absent")) << out;
  EXPECT_TRUE(has(out, "krb5ccname=unset")) << out;
}

TEST_F(Registration, ConnectRegistersStartsAndStopsThePeriodicUpdate) {
  std::string out = run("pc1", {"connect", "198.51.100.8", "192.0.2.53"});
  EXPECT_TRUE(has(out, "result=1")) << out;
  EXPECT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 900 IN A 198.51.100.8\n");
  EXPECT_TRUE(has(out, "NAT IP: periodic update started!")) << out;
  EXPECT_TRUE(has(out, "NAT IP: periodic update stopped!")) << out;
  // The disconnect empties the filter's list of update servers.
  EXPECT_TRUE(has(out, "published=192.0.2.53,\npublished=\n")) << out;
}

TEST_F(Registration, KeytabWithoutTheHostPrincipalFailsInKinit) {
  std::string out = run("pc1.corp.example", {"update", "198.51.100.7", "192.0.2.53"}, "other.keytab");
  EXPECT_TRUE(has(out, "result=0")) << out;
  EXPECT_TRUE(has(out, "Status: kinit failed.\nstdout:\n")) << out;
  EXPECT_FALSE(has(out, "nsupdate")) << out;
  EXPECT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 300 IN A 192.0.2.99\n");
}

TEST_F(Registration, RefusedUpdateFailsWithTheScriptAndDestroysTheTicket) {
  std::string out = run("pc9.corp.example", {"update", "198.51.100.9", "192.0.2.53"});
  EXPECT_TRUE(has(out, "result=0")) << out;
  EXPECT_TRUE(has(out, "Status: nsupdate failed.\nstdin:\nserver 192.0.2.53\nrealm CORP.EXAMPLE\n"
                       "update delete pc9.corp.example. A\nupdate add pc9.corp.example. 900 A 198.51.100.9\nsend\n"))
      << out;
  EXPECT_TRUE(has(out, "REFUSED")) << out;
  EXPECT_TRUE(has(out, "ticket-cache=absent")) << out;
  EXPECT_EQ(kdc.aRecords("pc9.corp.example"), "");
}

TEST_F(Registration, UnreachableDnsServerLeavesNoUpdateServers) {
  std::string out = run("pc1.corp.example", {"connect", "198.51.100.7", "192.0.2.54"});
  EXPECT_TRUE(has(out, "result=0")) << out;
  EXPECT_TRUE(has(out, "DNS SOA: resolve failed: res_nquery SOA failed for zone corp.example")) << out;
  EXPECT_TRUE(has(out, "DNS SOA: VESK DNS resolve failed, skip SOA resolve")) << out;
  EXPECT_TRUE(has(out, "Status: DNS SOA: no explicit update servers, skip nsupdate")) << out;
  EXPECT_FALSE(has(out, "periodic update started")) << out;
  // Five attempts, each telling the filter an empty list, then the disconnect.
  size_t attempts = 0;
  for (size_t at = 0; (at = out.find("NAT IP: activating was not completed!", at)) != std::string::npos; at++)
    attempts++;
  EXPECT_EQ(attempts, 5u) << out;
  EXPECT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 300 IN A 192.0.2.99\n");
}

TEST_F(Registration, HostWithoutDomainAndRealmRunsNothing) {
  writeWholeFile(kdc.file("norealm.conf"), "[realms]\n  CORP.EXAMPLE = {\n    kdc = 192.0.2.53\n  }\n");
  std::string out = kdc.runProbe("pc1", kdc.file("host.keytab"), kdc.file("norealm.conf"),
                                 {"update", "198.51.100.7", "192.0.2.53"});
  EXPECT_TRUE(has(out, "result=0")) << out;
  EXPECT_TRUE(has(out, "UpdateDnsNow: Kerberos realm is empty, skip DNS update")) << out;
  EXPECT_FALSE(has(out, "published=")) << out;
}

// The zone (and realm) come from the host name, its final dot dropped; the
// Kerberos programs are told that realm, which the file lacks, and the update
// is accepted.
TEST_F(Registration, RealmFromTheHostNameWhenTheConfigurationNamesNone) {
  writeWholeFile(kdc.file("norealm.conf"), "[realms]\n  CORP.EXAMPLE = {\n    kdc = 192.0.2.53\n  }\n");
  std::string out = kdc.runProbe("pc1.corp.example.", kdc.file("host.keytab"), kdc.file("norealm.conf"),
                                 {"update", "198.51.100.7", "192.0.2.53"});
  EXPECT_TRUE(has(out, "DNS SOA: primary server ns1.corp.example")) << out;
  EXPECT_TRUE(has(out, "published=192.0.2.53,")) << out;
  EXPECT_TRUE(has(out, "nsupdate ok. code: 0")) << out << kdc.serverLogs();
  EXPECT_TRUE(has(out, "result=1")) << out;
  EXPECT_EQ(kdc.aRecords("pc1.corp.example"), "pc1.corp.example. 900 IN A 198.51.100.7\n");
  EXPECT_TRUE(has(out, "ticket-cache=absent")) << out;
  EXPECT_TRUE(has(out, "krb5-config=unset")) << out;
}

// Only the first three of the gateway's DNS servers are asked.
TEST_F(Registration, AtMostThreeGatewayServersAreAsked) {
  std::string out = run("pc1", {"resolve", "corp.example", "192.0.2.54", "192.0.2.53"});
  EXPECT_TRUE(has(out, "servers=192.0.2.53,\n")) << out;
  out = run("pc1", {"resolve", "corp.example", "192.0.2.54", "192.0.2.55", "192.0.2.56", "192.0.2.53"});
  EXPECT_TRUE(has(out, "servers=\n")) << out;
  EXPECT_TRUE(has(out, "DNS SOA: VESK DNS server 192.0.2.53")) << out;
}

// An answer longer than the resolver's buffer is read only as far as the
// buffer goes: cut short, it does not parse, and no server is taken from it.
TEST_F(Registration, AnswerLongerThanTheBufferIsRefused) {
  std::string out = run("pc1", {"resolve", "wide.example", "192.0.2.53"});
  EXPECT_TRUE(has(out, "DNS SOA: primary server ns.wide.example")) << out << kdc.serverLogs();
  EXPECT_TRUE(has(out, "servers=\n")) << out;
  EXPECT_TRUE(has(out, "ns_initparse A")) << out;
}

}  // namespace
