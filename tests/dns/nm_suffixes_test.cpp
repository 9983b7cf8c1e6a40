// Search suffixes on connections of a real NetworkManager.
#include "Service/common/dns/nm_suffixes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/dns/nm_bench.h"
#include "tests/service/service_env.h"

namespace {

// Two eligible ethernet profiles, one named like a veth link, one bridge.
std::vector<NmProfile> officeProfiles() {
  return {{"Wired A", "zda0", "old.example;lab.example;"},
          {"Wired B", "zdb0", ""},
          {"veth-lan", "zdc0", "keep.example;"},
          {"corp-br", "zbr0", "bridge.example;", "bridge"}};
}

class NmSuffixes : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(nm.up()) << nm.nmLog(); }
  NmBench nm{officeProfiles()};
};

TEST_F(NmSuffixes, SetChangesEligibleConnectionsAndRestoreBringsBackTheirLists) {
  PreviousSuffixMap previous = SetSuffixForAllActive({"corp.example", "", "dev.corp.example"});

  PreviousSuffixMap expected = {{"Wired A", {"old.example", "lab.example"}}, {"Wired B", {}}};
  EXPECT_EQ(previous, expected);
  EXPECT_EQ(nm.searchOf("Wired A"), "corp.example,dev.corp.example");
  EXPECT_EQ(nm.searchOf("Wired B"), "corp.example,dev.corp.example");
  // Saved to disk, and reapplied on the device.
  EXPECT_NE(nm.keyfileOf("Wired A").find("dns-search=corp.example;dev.corp.example;"), std::string::npos)
      << nm.keyfileOf("Wired A");
  EXPECT_EQ(nm.appliedDomainsOf("zda0"), "corp.example | dev.corp.example");
  // Excluded by name prefix and by type, and the loopback connection.
  EXPECT_EQ(nm.searchOf("veth-lan"), "keep.example");
  EXPECT_EQ(nm.searchOf("corp-br"), "bridge.example");
  EXPECT_EQ(nm.searchOf("lo"), "");

  EXPECT_EQ(RestoreOldSuffixes(previous), 0);
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_EQ(nm.searchOf("Wired B"), "");
  EXPECT_NE(nm.keyfileOf("Wired A").find("dns-search=old.example;lab.example;"), std::string::npos);
  EXPECT_EQ(nm.appliedDomainsOf("zda0"), "old.example | lab.example");
  EXPECT_EQ(nm.appliedDomainsOf("zdb0"), "");
}

TEST_F(NmSuffixes, EmptyListEmptiesTheSearchLists) {
  PreviousSuffixMap previous = SetSuffixForAllActive({});
  EXPECT_EQ(previous.at("Wired A"), (SuffixList{"old.example", "lab.example"}));
  EXPECT_EQ(nm.searchOf("Wired A"), "");
  EXPECT_EQ(nm.appliedDomainsOf("zda0"), "");
  EXPECT_EQ(RestoreOldSuffixes(previous), 0);
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
}

TEST_F(NmSuffixes, RestoreOfUnknownIdChangesNothingAndSucceeds) {
  EXPECT_EQ(RestoreOldSuffixes({{"no such profile", {"x.example"}}}), 0);
  EXPECT_EQ(RestoreOldSuffixes({}), 0);
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
}

TEST_F(NmSuffixes, FailedCommitMakesRestoreFailButOthersAreRestored) {
  PreviousSuffixMap previous = SetSuffixForAllActive({"corp.example"});
  ASSERT_TRUE(nm.blockKeyfile("Wired B"));
  previous["gone"] = {"x.example"};

  EXPECT_EQ(RestoreOldSuffixes(previous), 1);
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  std::string log = ServiceLogText();
  EXPECT_NE(log.find("Суффиксы не восстановлены для Wired B: "), std::string::npos);
  EXPECT_NE(log.rfind("Всего восстановлено подключений: 1"), std::string::npos);
}

TEST_F(NmSuffixes, NetworkManagerNotRunningIsAFailureThatChangesNothing) {
  nm.stopNm();
  EXPECT_TRUE(SetSuffixForAllActive({"corp.example"}).empty());
  EXPECT_EQ(RestoreOldSuffixes({{"Wired A", {"x.example"}}}), 1);
  ASSERT_TRUE(nm.startNm()) << nm.nmLog();
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
}

// Each call waits on a main context of its own: calls from several threads
// at once neither hang nor end one another's waits early.
TEST_F(NmSuffixes, CallsFromSeveralThreadsAtOnceAllComplete) {
  auto setter = [] { return SetSuffixForAllActive({"corp.example"}); };
  std::vector<std::future<PreviousSuffixMap>> runs;
  for (int i = 0; i < 3; i++) runs.push_back(std::async(std::launch::async, setter));
  for (auto& run : runs) {
    ASSERT_EQ(run.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    PreviousSuffixMap got = run.get();
    EXPECT_EQ(got.size(), 2u);
  }
  EXPECT_EQ(nm.searchOf("Wired A"), "corp.example");
  EXPECT_EQ(nm.appliedDomainsOf("zda0"), "corp.example");
}

}  // namespace
