// The order of kinit, nsupdate per server and kdestroy, with stand-ins for
// the three programs on PATH that record how they were called (the real
// programs against real servers are in registration_test.cpp).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <stdexcept>

#include "Service/common/dns/dns_registration_state.h"
#include "Service/common/dns/nsupdate_exchange.h"
#include "tests/common/test_dir.h"
#include "tests/service/service_env.h"

namespace {

// nsupdate accepts on 192.0.2.3, exits 2 on 192.0.2.1 and 1 elsewhere;
// kinit and kdestroy exit with $KINIT_EXIT and $KDESTROY_EXIT.
class FakePrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = dir.file("calls");
    program("kinit", "echo \"kinit $*\" >>" + calls + "; echo kinit-out; echo kinit-err >&2; exit ${KINIT_EXIT:-0}");
    program("kdestroy", "echo kdestroy >>" + calls + "; exit ${KDESTROY_EXIT:-0}");
    program("nsupdate",
            "s=$(cat); first=$(printf '%s\\n' \"$s\" | head -n 1); echo \"nsupdate $* $first\" >>" + calls +
                "; case \"$first\" in 'server 192.0.2.3') exit 0;; 'server 192.0.2.1') exit 2;; *) exit 1;; esac");
    savedPath = getenv("PATH");
    setenv("PATH", (dir.path() + ":" + savedPath).c_str(), 1);
    kerberos_realm = "CORP.EXAMPLE";
  }
  void TearDown() override {
    setenv("PATH", savedPath.c_str(), 1);
    unsetenv("KINIT_EXIT");
    unsetenv("KDESTROY_EXIT");
    kerberos_realm.clear();
    dns_update_server_ips.clear();
  }
  // Each program also notes the Kerberos variables it was given.
  void program(const std::string& name, const std::string& body) {
    std::string noteEnvironment = "echo \"" + name + " ${KRB5CCNAME-unset} ${KRB5_CONFIG-unset}\" >>" +
                                  dir.file("environments") + "\n";
    writeWholeFile(dir.file(name), "#!/bin/sh\n" + noteEnvironment + body + "\n");
    chmod(dir.file(name).c_str(), 0755);
  }
  std::string callLog() const { return readWholeFile(calls); }
  std::string environments() const { return readWholeFile(dir.file("environments")); }
  std::string failureOf() {
    try {
      update_dns("198.51.100.9", "pc1.corp.example", "PC1", "");
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(no exception)";
  }

  TestDir dir;
  std::string calls, savedPath;
};

TEST_F(FakePrograms, LaterServerAcceptsAfterARefusal) {
  dns_update_server_ips = {"192.0.2.1", "192.0.2.3", "192.0.2.4"};
  EXPECT_NO_THROW(update_dns("198.51.100.9", "pc1.corp.example", "PC1", ""));
  EXPECT_EQ(callLog(),
            "kinit -k -t /etc/krb5.keytab PC1\\$\n"
            "nsupdate -g server 192.0.2.1\nnsupdate -g server 192.0.2.3\nkdestroy\n");
  EXPECT_NE(ServiceLogText().find("nsupdate failed.\nstdin:\nserver 192.0.2.1\n"), std::string::npos);
  EXPECT_NE(ServiceLogText().find("nsupdate ok. code: 0\nstdin:\nserver 192.0.2.3\n"), std::string::npos);
}

TEST_F(FakePrograms, EveryServerFailingThrowsTheLastFailure) {
  dns_update_server_ips = {"192.0.2.1", "192.0.2.2"};
  EXPECT_EQ(failureOf(),
            "nsupdate failed.\nstdin:\nserver 192.0.2.2\nrealm CORP.EXAMPLE\nupdate delete pc1.corp.example. A\n"
            "update add pc1.corp.example. 900 A 198.51.100.9\nsend\n\nstdout:\n\nstderr:\n");
  EXPECT_EQ(callLog(), "kinit -k -t /etc/krb5.keytab PC1\\$\nnsupdate -g server 192.0.2.1\n"
                       "nsupdate -g server 192.0.2.2\nkdestroy\n");
}

TEST_F(FakePrograms, FailingKinitRunsNothingElse) {
  dns_update_server_ips = {"192.0.2.3"};
  setenv("KINIT_EXIT", "1", 1);
  EXPECT_EQ(failureOf(), "kinit failed.\nstdout:\nkinit-out\n\nstderr:\nkinit-err\n");
  EXPECT_EQ(callLog(), "kinit -k -t /etc/krb5.keytab PC1\\$\n");
}

TEST_F(FakePrograms, FailingKdestroyIsOnlyLogged) {
  dns_update_server_ips = {"192.0.2.3"};
  setenv("KDESTROY_EXIT", "1", 1);
  EXPECT_NO_THROW(update_dns("198.51.100.9", "pc1.corp.example", "PC1", ""));
  EXPECT_NE(ServiceLogText().find("kdestroy error"), std::string::npos);
}

// The credential cache and the configuration reach the three programs in
// their own environment, the cache in root's run directory; the test's
// (the daemon's) environment does not change.
TEST_F(FakePrograms, KerberosProgramsGetTheCacheAndConfigurationInTheirOwnEnvironment) {
  unsetenv("KRB5CCNAME");
  setenv("KRB5_CONFIG", "/etc/daemon-krb5.conf", 1);
  dns_update_server_ips = {"192.0.2.3"};
  EXPECT_NO_THROW(update_dns("198.51.100.9", "pc1.corp.example", "PC1", "/tmp/derived.conf:/etc/krb5.conf"));
  EXPECT_NO_THROW(update_dns("198.51.100.9", "pc1.corp.example", "PC1", ""));
  const std::string cache = "/var/run/solvarin/krb5cc_vpn_daemon";
  EXPECT_EQ(environments(), "kinit " + cache + " /tmp/derived.conf:/etc/krb5.conf\n" +
                                "nsupdate " + cache + " /tmp/derived.conf:/etc/krb5.conf\n" +
                                "kdestroy " + cache + " /tmp/derived.conf:/etc/krb5.conf\n" +
                                "kinit " + cache + " /etc/daemon-krb5.conf\n" +
                                "nsupdate " + cache + " /etc/daemon-krb5.conf\n" +
                                "kdestroy " + cache + " /etc/daemon-krb5.conf\n");
  EXPECT_EQ(getenv("KRB5CCNAME"), nullptr);
  EXPECT_STREQ(getenv("KRB5_CONFIG"), "/etc/daemon-krb5.conf");
  unsetenv("KRB5_CONFIG");
}

// A name that would add a command to the script stops the update before a
// ticket is taken.
TEST_F(FakePrograms, UnsafeRecordNameRunsNothing) {
  dns_update_server_ips = {"192.0.2.3"};
  EXPECT_THROW(update_dns("198.51.100.9", "pc1.corp.example.\nupdate delete corp.example", "PC1", ""),
               std::invalid_argument);
  EXPECT_EQ(callLog(), "");
}

}  // namespace
