// The suffix baseline with a real NetworkManager: saved before the first
// change, kept until every connection came back, restored after a crash.
#include "Service/common/dns/suffix_baseline.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/dns/nm_bench.h"
#include "tests/service/service_env.h"

using namespace suffix_baseline;

namespace {

std::list<std::string> g_suffixes;
int g_suffixResult = 0;
int g_statusWrites = 0, g_nudges = 0;

int testSuffixes(std::list<std::string>& out) {
  out = g_suffixes;
  return g_suffixResult;
}
bool testStatus() {
  g_statusWrites++;
  return true;
}
void testNudge() { g_nudges++; }

int64_t modifiedNs(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

const char* kFirstBaseline =
    "{\"connections\":[{\"id\":\"Wired A\",\"search\":[\"old.example\",\"lab.example\"]},"
    "{\"id\":\"Wired B\",\"search\":[]}]}\n";

class SuffixBaseline : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(nm.up()) << nm.nmLog();
    savedPath = g_suffix_baseline_path;
    g_suffix_baseline_path = nm.dir().file("Solvarin/dns-suffix-baseline.json");
    SetBaselineHooks({testSuffixes, testStatus, testNudge});
    g_suffixes = {"corp.example"};
    g_suffixResult = 0;
    g_statusWrites = g_nudges = 0;
  }
  void TearDown() override {
    RestoreSuffixBaseline();  // leaves no baseline for the next test
    g_suffix_baseline_path = savedPath;
  }
  bool baselineExists() const { return access(g_suffix_baseline_path.c_str(), F_OK) == 0; }
  std::string baseline() const { return readWholeFile(g_suffix_baseline_path); }

  NmBench nm{{{"Wired A", "zda0", "old.example;lab.example;"}, {"Wired B", "zdb0", ""}}};
  std::string savedPath;
};

TEST_F(SuffixBaseline, FirstListsAreSavedAndRestoreDropsThem) {
  PreConnectSettings(7);
  EXPECT_EQ(baseline(), kFirstBaseline);
  EXPECT_EQ(nm.searchOf("Wired A"), "corp.example");
  // On disk before NetworkManager saved any changed profile.
  EXPECT_LE(modifiedNs(g_suffix_baseline_path), modifiedNs(nm.keyfilePath("Wired A")));
  EXPECT_LE(modifiedNs(g_suffix_baseline_path), modifiedNs(nm.keyfilePath("Wired B")));
  EXPECT_EQ(g_statusWrites, 1);
  EXPECT_EQ(g_nudges, 1);

  // A second command 28 keeps the lists from before the first change.
  g_suffixes = {"other.example", "corp.example"};
  PreConnectSettings(7);
  EXPECT_EQ(nm.searchOf("Wired B"), "other.example,corp.example");
  EXPECT_EQ(baseline(), kFirstBaseline);

  RestoreSuffixesAfterUnmanagedDisconnect("Tunnel owner IPC connection lost");
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_EQ(nm.searchOf("Wired B"), "");
  EXPECT_FALSE(baselineExists());
  std::string log = ServiceLogText();
  EXPECT_NE(log.find("Restore DNS suffixes after: Tunnel owner IPC connection lost"), std::string::npos);
  EXPECT_NE(log.find("Setting DNS suffixes: { "), std::string::npos);
}

TEST_F(SuffixBaseline, NoSuffixesFromTheFilterChangeNothingButStatusIsWritten) {
  g_suffixResult = -1001;
  PreConnectSettings(7);
  EXPECT_NE(ServiceLogText().find("Error get DNS suffixes from Driver: -1001"), std::string::npos);
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_FALSE(baselineExists());
  EXPECT_EQ(g_statusWrites, 1);
}

TEST_F(SuffixBaseline, PartialRestoreKeepsFileAndMapForTheNextTry) {
  PreConnectSettings(7);
  ASSERT_TRUE(nm.blockKeyfile("Wired B"));
  PostDisconnectSettings();
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_EQ(baseline(), kFirstBaseline);
  EXPECT_NE(ServiceLogText().find("DNS suffixes not restored: 1 of 2, baseline kept for next restore"),
            std::string::npos);

  ASSERT_TRUE(nm.unblockKeyfile("Wired B"));
  RestoreSuffixBaseline();
  EXPECT_EQ(nm.searchOf("Wired B"), "");
  EXPECT_FALSE(baselineExists());
}

TEST_F(SuffixBaseline, NetworkManagerDownAtRestoreDropsNothing) {
  PreConnectSettings(7);
  nm.stopNm();
  RestoreSuffixBaseline();
  EXPECT_EQ(baseline(), kFirstBaseline);
  ASSERT_TRUE(nm.startNm()) << nm.nmLog();
  EXPECT_EQ(nm.searchOf("Wired A"), "corp.example");
  RestoreSuffixBaseline();
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_FALSE(baselineExists());
}

TEST_F(SuffixBaseline, DaemonKilledWhileSetIsRestoredAtNextStart) {
  ChildProcess daemon;
  std::string out = nm.dir().file("probe.out");
  ASSERT_TRUE(daemon.start({ZOR_BASELINE_PROBE, g_suffix_baseline_path, nm.dir().file("probe-log.csv"),
                            "corp.example", "lab.corp.example"},
                           out));
  ASSERT_TRUE(WaitForOutput("cat " + out, "set", 60000)) << readWholeFile(out);
  daemon.stop(SIGKILL);
  EXPECT_EQ(nm.searchOf("Wired A"), "corp.example,lab.corp.example");
  ASSERT_EQ(baseline(), kFirstBaseline);

  RestoreSuffixBaselineAtStartup();
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_EQ(nm.searchOf("Wired B"), "");
  EXPECT_FALSE(baselineExists());
  EXPECT_NE(ServiceLogText().find("Restore DNS suffixes after service restart, connections: 2"), std::string::npos);
}

TEST_F(SuffixBaseline, ListInMemoryWinsOverTheFileAtStartUp) {
  PreConnectSettings(7);
  writeWholeFile(g_suffix_baseline_path,
                 "{\"connections\":[{\"id\":\"Wired A\",\"search\":[\"file.example\"]},"
                 "{\"id\":\"Gone\",\"search\":[\"gone.example\"]}]}\n");
  RestoreSuffixBaselineAtStartup();
  EXPECT_EQ(nm.searchOf("Wired A"), "old.example,lab.example");
  EXPECT_FALSE(baselineExists());
}

}  // namespace
