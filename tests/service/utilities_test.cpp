#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "cross/common/drv_error.h"
#include "cross/utils/dns_flush.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/file_replace.h"
#include "cross/utils/machine_id.h"
#include "cross/utils/registry.h"
#include "cross/utils/ss_list.h"
#include "cross/utils/std_descriptors.h"
#include "cross/utils/version.h"
#include "tests/common/spawn.h"
#include "tests/common/test_dir.h"

namespace {

TEST(SSList, EntriesKeepAtMostTheirSizeInOrderAndInitFreesThem) {
  SSList list;
  initSSList(&list, 4);
  EXPECT_EQ(addSSList(&list, "ab"), 0u);
  EXPECT_EQ(addSSList(&list, "abcdefgh"), 0u);
  EXPECT_EQ(addSSList(&list, ""), 0u);
  std::vector<std::string> texts;
  for (SSListEntry* e = list.head; e != nullptr; e = e->next) texts.push_back(e->text);
  EXPECT_EQ(texts, (std::vector<std::string>{"ab", "abcd", ""}));
  initSSList(&list, 48);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.size, 48u);
  std::string long48(60, 'z');
  addSSList(&list, long48.c_str());
  EXPECT_EQ(std::string(list.head->text), long48.substr(0, 48));
  initSSList(&list, 0);
}

// The attribute setter runs on the temporary file before anything is
// written: when it fails the old file stays whole and no temporary file is
// left beside it; when it succeeds the new file carries its mode.
TEST(FileReplace, TheSettersFailureStopsTheReplacement) {
  struct Case {
    const char* what;
    FileAttributeSetter setter;
    bool replaced;
  } cases[] = {
      {"the setter fails", [](int, const std::string&) { return false; }, false},
      {"the setter gives mode 0640", [](int fd, const std::string&) { return fchmod(fd, 0640) == 0; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestDir dir;
    std::string path = dir.file("status.json");
    writeWholeFile(path, "old text");
    chmod(path.c_str(), 0600);
    EXPECT_EQ(ReplaceFileAtomically(path, "new text", c.setter), c.replaced);
    EXPECT_EQ(readWholeFile(path), c.replaced ? "new text" : "old text");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.replaced ? 0640u : 0600u);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"status.json"}) << "no temporary file left";
  }
}

TEST(DriverErrors, KnownAndUnknownCodes) {
  EXPECT_EQ(GetDrvError(-1001), "The filter did not answer");
  EXPECT_EQ(GetDrvError(-9998), "Connection cancelled");
  EXPECT_EQ(GetDrvError(12345), "Unknown Drv error: 12345");
  EXPECT_EQ(GetDrvError(-77), "Unknown Drv error: -77");
}

TEST(MachineId, IsTheSystemsMachineId) {
  std::ifstream in("/etc/machine-id");
  std::string id;
  GetUUID();
  if (in >> id && id.size() == 32) {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(UUID_DATA), 32), id);
  } else {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(UUID_DATA), 32), std::string(32, '\0'));
  }
}

TEST(ExecutionDir, IsTheDirectoryOfTheExecutableAndBecomesTheWorkingDirectory) {
  char saved[sizeof installDir], cwd[PATH_MAX], exe[PATH_MAX] = {};
  memcpy(saved, installDir, sizeof saved);
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  ReadExecutionDir(0, nullptr);
  std::string expected(exe, strrchr(exe, '/'));
  EXPECT_EQ(std::string(installDir), expected);
  char now[PATH_MAX];
  EXPECT_EQ(std::string(getcwd(now, sizeof now)), expected);
  memcpy(installDir, saved, sizeof saved);
  ASSERT_EQ(chdir(cwd), 0);
}

TEST(Version, TextsCarryTheBuildAndTheSystem) {
  std::string before = CLIENT_VERSION;
  MakeVersionString();
  EXPECT_EQ(CLIENT_VERSION, before + getVrStr());
  CLIENT_VERSION = before;
  GetSystemVersion();
  utsname u{};
  uname(&u);
  EXPECT_NE(verstr.find(getVrStr()), std::string::npos);
  EXPECT_NE(verstr.find(u.release), std::string::npos);
  EXPECT_LE(strlen(getVrStr()), 31u);
}

TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNull) {
  // This process runs threads: the child keeps to async-signal-safe calls
  // (close, fcntl, open, dup2, stat, fstat, _exit).
  pid_t child = fork();
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    ReopenStandardDescriptorsOnDevNull();
    struct stat null {}, st {};
    stat("/dev/null", &null);
    for (int fd = 0; fd <= 2; fd++) {
      if (fstat(fd, &st) != 0 || st.st_rdev != null.st_rdev) _exit(10 + fd);
    }
    _exit(open("/dev/null", O_RDONLY) > 2 ? 0 : 20);
  }
  int status = WaitChild(child, 5000);
  if (status < 0) EndChild(child, SIGKILL);
  EXPECT_EQ(status, 0);
}

class DnsFlush : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string script = bin.file("resolvectl");
    writeWholeFile(script, "#!/bin/sh\necho \"$@\" >> " + bin.file("calls") + "\n");
    chmod(script.c_str(), 0755);
    oldPath = getenv("PATH");
    setenv("PATH", (bin.path() + ":" + oldPath).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", oldPath.c_str(), 1); }
  std::string calls() { return readWholeFile(bin.file("calls")); }
  TestDir bin;
  std::string oldPath;
};

TEST_F(DnsFlush, FlushesUnlessTheRegistrySaysNo) {
  flushDNSIf();  // no "FlushDNS" value: flush
  EXPECT_EQ(calls(), "flush-caches\n");
  Registry_RegSetValueLongIntHex(installDir, "FlushDNS", 0);
  flushDNSIf();
  EXPECT_EQ(calls(), "flush-caches\n");
  Registry_RegSetValueLongIntHex(installDir, "FlushDNS", 1);
  flushDNSIf();
  EXPECT_EQ(calls(), "flush-caches\nflush-caches\n");
}

}  // namespace
