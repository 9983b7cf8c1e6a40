#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cross/utils/log.h"
#include "cross/utils/registry.h"
#include "cross/utils/version.h"
#include "tests/common/test_dir.h"

namespace {

const std::string kHeader = "Date; Time; File&Line; Function; Message\r\n\r\n";
const std::string kStampShape = "dddd.dd.dd; dd:dd:dd.ddd; ";
const std::string kStamp = "####.##.##; ##:##:##.###; ";  // what masked() puts in its place

// True when text at pos has the shape: 'd' a digit, 'A' an upper-case and
// 'a' a lower-case letter, any other character itself.
bool hasShape(const std::string& text, size_t pos, const std::string& shape) {
  if (pos + shape.size() > text.size()) return false;
  for (size_t i = 0; i < shape.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[pos + i]);
    bool ok = shape[i] == 'd' ? isdigit(c) : shape[i] == 'A' ? isupper(c) : shape[i] == 'a' ? islower(c) : c == shape[i];
    if (!ok) return false;
  }
  return true;
}

// The text with the date and time that starts each line replaced by kStamp.
std::string masked(const std::string& text) {
  std::string out = text;
  for (size_t i = 0; i < out.size(); i++) {
    if ((i == 0 || out[i - 1] == '\n') && hasShape(out, i, kStampShape)) out.replace(i, kStamp.size(), kStamp);
  }
  return out;
}

class LogFile : public ::testing::Test {
 protected:
  std::string logPath() const { return tmp.file("SrvLog.csv"); }
  std::string contents() const { return readWholeFile(logPath()); }
  std::string registry() const { return readWholeFile(tmp.file("registry")); }
  // A log whose file is set without the banner, so tests see only their lines.
  void startLog(Log& log) {
    ASSERT_EQ(log.CreateLogFile(logPath().c_str()), 1);
    ASSERT_EQ(log.ClearLogFile(), 1);
  }
  std::string pidText() const { return std::to_string(getpid()); }
  TestDir tmp;
};

TEST_F(LogFile, EntryLineHasTheExactForm) {
  Log log(tmp.path().c_str());
  startLog(log);
  ASSERT_EQ(log.WriteToLogFL("Service/common/Service.cpp", 812, "ServiceMainFunction", "a;b; c"), 1);
  ASSERT_EQ(log.WriteToLogFL("plain", 3, "f;n", "x"), 1);
  EXPECT_EQ(masked(contents()), kHeader + kStamp + "Service.cpp:812; ServiceMainFunction; p" + pidText() +
                                    "; a.b. c\r\n" + kStamp + "plain:3; f;n; p" + pidText() + "; x\r\n");
}

TEST_F(LogFile, BannerFollowsTheHeaderOfANewFile) {
  Log log(tmp.path().c_str());
  ASSERT_EQ(log.CreateLogFile(logPath().c_str()), 1);
  std::string start = kHeader + "\r\n<< Solvarin log start " + CLIENT_VERSION;
  const std::string stamp = " Aaa dd dddd dd:dd:dd";
  std::string all = contents();
  EXPECT_EQ(all.substr(0, start.size()), start);
  EXPECT_TRUE(hasShape(all, start.size(), stamp)) << all;
  EXPECT_EQ(all.substr(start.size() + stamp.size()), ">> \r\n\r\n");
  EXPECT_EQ(log.CreateLogFileInDir(tmp.path().c_str(), "Other.csv"), 1);
  EXPECT_EQ(readWholeFile(tmp.file("Other.csv")).substr(0, start.size()), start);
  EXPECT_EQ(log.CreateLogFile(""), -1);
  EXPECT_EQ(log.CreateLogFile(nullptr), -1);
}

TEST_F(LogFile, AFileWithContentGetsNoSecondHeader) {
  writeWholeFile(logPath(), "old\r\n");
  Log log(tmp.path().c_str());
  ASSERT_EQ(log.CreateLogFile(logPath().c_str()), 1);
  ASSERT_EQ(log.WriteToLog("text"), 1);
  std::string all = contents();
  EXPECT_EQ(all.rfind("old\r\n\r\n<< Solvarin log start ", 0), 0u) << all;
  EXPECT_EQ(all.find("Date;"), std::string::npos);
  EXPECT_EQ(masked(all).substr(all.size() - kStamp.size() - 6), kStamp + "text\r\n");
}

TEST_F(LogFile, HexBufferAndClearing) {
  Log log(tmp.path().c_str());
  startLog(log);
  const unsigned char bytes[] = {0x01, 0xAB, 0xFF};
  ASSERT_EQ(log.WriteToLogHexBuf("f.cpp", 1, "fn", bytes, 3), 1);
  EXPECT_EQ(contents(), kHeader + "01 AB FF ");
  ASSERT_EQ(log.ClearLogFile(), 1);
  EXPECT_EQ(contents(), "");
  ASSERT_EQ(log.WriteToSTR("x"), 1);
  EXPECT_EQ(contents(), kHeader + "x");
}

TEST_F(LogFile, LongMessagesAreCutAndStillEndTheirLine) {
  Log log(tmp.path().c_str());
  startLog(log);
  ASSERT_EQ(log.WriteToLogFL("f.cpp", 1, "fn", std::string(20000, 'm').c_str()), 1);
  ASSERT_EQ(log.WriteToLogFL("f.cpp", 2, "fn", "next"), 1);
  std::string all = contents().substr(kHeader.size());
  size_t firstEnd = all.find("\r\n");
  EXPECT_EQ(firstEnd + 2, 8191u);
  EXPECT_EQ(masked(all.substr(firstEnd + 2)), kStamp + "f.cpp:2; fn; p" + pidText() + "; next\r\n");
  int formatted = log.LOG_WriteToLog("f.cpp", 3, "fn", "%d-%s", 7, std::string(3000, 'q').c_str());
  ASSERT_EQ(formatted, 1);
  std::string last = contents().substr(contents().rfind("fn; p"));
  EXPECT_EQ(last.size(), std::string("fn; p; 7-").size() + pidText().size() + 2045 + 2);
}

TEST_F(LogFile, OffSwitchWritesNothingAndIsStored) {
  Log log(tmp.path().c_str());
  startLog(log);
  log.LogEnable(0);
  EXPECT_EQ(log.WriteToLogFL("f.cpp", 1, "fn", "hidden"), 1);
  EXPECT_EQ(log.WriteToSTR("hidden"), 1);
  EXPECT_EQ(contents(), "");
  int stored = -1;
  ASSERT_EQ(Registry_RegGetValueInt(tmp.path().c_str(), "WriteLog", &stored), 1);
  EXPECT_EQ(stored, 0);
  Log second(tmp.path().c_str());
  EXPECT_EQ(second.enabledFlag(), 0);
}

TEST_F(LogFile, ConstructorWritesDefaultsBack) {
  Log log(tmp.path().c_str());
  EXPECT_EQ(log.enabledFlag(), 1);
  EXPECT_EQ(log.maxFileSize(), 0x400000u);
  EXPECT_EQ(registry(), "WriteLog\t \"0x1\"\nLogFileMaxSize\t \"0x400000\"\n");
}

TEST_F(LogFile, SizeLimitFromTheRegistryIsBounded) {
  struct Case {
    uint64_t stored, used;
  };
  const Case cases[] = {{0x7FFFF, 0x400000}, {0x80000, 0x80000}, {0x2000000, 0x2000000}, {0x2000001, 0x400000}};
  for (const Case& c : cases) {
    Registry_RegSetValueUnsignedLongLongHex(tmp.path().c_str(), "LogFileMaxSize", c.stored);
    Log log(tmp.path().c_str());
    EXPECT_EQ(log.maxFileSize(), c.used) << c.stored;
    uint64_t now = 0;
    Registry_RegGetValueUnsignedLongLong(tmp.path().c_str(), "LogFileMaxSize", &now);
    EXPECT_EQ(now, c.used);
  }
}

// The header, then the last 85 % of the limit from just after its first line end.
std::string expectedCut(const std::string& before, uint64_t limit) {
  size_t keep = static_cast<size_t>(0.85 * static_cast<double>(limit));
  std::string tail = before.substr(before.size() - keep);
  size_t end = tail.find_first_of("\r\n");
  return kHeader + (end == std::string::npos ? "" : tail.substr(end + 1));
}

TEST_F(LogFile, AFileAtItsLimitIsCutBeforeTheNextLine) {
  Log log(tmp.path().c_str());
  startLog(log);
  log.SetLogFileMaxSize(1000);
  // The kept tail is the last 850 bytes; its first line end is the CR of a
  // CR LF pair, so the kept text starts with the LF.
  std::string before = std::string(200, 'a') + "\r\n" + std::string(798, 'b');
  writeWholeFile(logPath(), before);
  ASSERT_EQ(log.WriteToSTR("NEW"), 1);
  EXPECT_EQ(contents(), kHeader + "\n" + std::string(798, 'b') + "NEW");

  std::string below = kHeader + std::string(999 - kHeader.size(), 'c');
  writeWholeFile(logPath(), below);
  ASSERT_EQ(log.WriteToSTR("X"), 1);
  EXPECT_EQ(contents(), below + "X");  // below the limit: no cut
}

TEST_F(LogFile, TheCutReplacesTheFileInOneStepAndLeavesTheOldOneWhole) {
  Log log(tmp.path().c_str());
  startLog(log);
  log.SetLogFileMaxSize(1000);
  std::string before = std::string(300, 'a') + "\n" + std::string(800, 'b');
  writeWholeFile(logPath(), before);
  // A descriptor of the old file sees what a kill during the cut would
  // leave if the cut worked in place.
  int old = open(logPath().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(old, 0);
  umask(077);
  ASSERT_EQ(log.WriteToSTR("NEW"), 1);
  umask(0);
  std::string oldText(before.size() + 1, '\0');
  oldText.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(old, oldText.data(), oldText.size(), 0))));
  close(old);
  EXPECT_EQ(oldText, before);
  EXPECT_EQ(contents(), kHeader + std::string(800, 'b') + "NEW");
  struct stat st {};
  ASSERT_EQ(stat(logPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(st.st_nlink, 1u);
  ASSERT_EQ(log.WriteToSTR("\r\nNEXT"), 1);  // the following writes reach the new file
  EXPECT_EQ(contents(), kHeader + std::string(800, 'b') + "NEW\r\nNEXT");
}

TEST_F(LogFile, ATailWithoutLineEndLeavesOnlyTheHeader) {
  Log log(tmp.path().c_str());
  startLog(log);
  writeWholeFile(logPath(), std::string(2000, 'a'));
  log.SetLogFileMaxSize(1000);  // cuts at once
  EXPECT_EQ(contents(), kHeader);
  ASSERT_EQ(log.WriteToSTR("NEW"), 1);
  EXPECT_EQ(contents(), kHeader + "NEW");
}

TEST_F(LogFile, DefaultLimitKeepsItsExactTail) {
  Log log(tmp.path().c_str());
  startLog(log);
  std::string before(0x400000, 'a');
  size_t keepStart = before.size() - 3565158;
  before[keepStart + 10] = '\n';
  writeWholeFile(logPath(), before);
  ASSERT_EQ(log.WriteToSTR("N"), 1);
  std::string after = contents();
  EXPECT_EQ(after.size(), kHeader.size() + 3565158 - 11 + 1);
  EXPECT_EQ(after, expectedCut(before, 0x400000) + "N");
}

TEST_F(LogFile, FileIsWritableByAllWhateverTheUmask) {
  umask(077);
  Log log(tmp.path().c_str());
  ASSERT_EQ(log.CreateLogFile(logPath().c_str()), 1);
  umask(0);
  struct stat st {};
  ASSERT_EQ(stat(logPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

// What another user may have put at the log's name before the daemon made
// it: the file it names keeps its content, and the log begins anew as a
// file of its own in its place.
TEST_F(LogFile, WhatStandsAtTheNameInsteadOfTheLogsOwnFileIsNeverWritten) {
  // Each puts its thing at `at`: true when it stands there.
  using Put = bool (*)(const std::string& target, const std::string& at);
  struct Case {
    const char* what;
    bool needsRoot;
    Put put;
  };
  const Case cases[] = {
      {"a symbolic link", false, [](const std::string& t, const std::string& at) { return symlink(t.c_str(), at.c_str()) == 0; }},
      {"a hard link", false, [](const std::string& t, const std::string& at) { return link(t.c_str(), at.c_str()) == 0; }},
      {"a pipe", false, [](const std::string&, const std::string& at) { return mkfifo(at.c_str(), 0666) == 0; }},
      {"a directory", false, [](const std::string&, const std::string& at) { return mkdir(at.c_str(), 0777) == 0; }},
      {"another user's directory with a file in it", true,
       [](const std::string&, const std::string& at) {
         writeWholeFile(at + ".in", "theirs");
         return mkdir(at.c_str(), 0777) == 0 && rename((at + ".in").c_str(), (at + "/in").c_str()) == 0 &&
                chown((at + "/in").c_str(), 1001, 1001) == 0 && chown(at.c_str(), 1001, 1001) == 0;
       }},
      {"another user's file", true,
       [](const std::string&, const std::string& at) {
         writeWholeFile(at, "theirs");
         return chown(at.c_str(), 1001, 1001) == 0;
       }},
  };
  const std::string target = tmp.file("target");
  for (const Case& c : cases) {
    if (c.needsRoot && geteuid() != 0) continue;
    SCOPED_TRACE(c.what);
    writeWholeFile(target, "untouched");
    chmod(target.c_str(), 0600);
    ASSERT_TRUE(c.put(target, logPath()));
    // A descriptor of what stood there shows what a write into it left.
    int before = open(logPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Log log(tmp.path().c_str());
    EXPECT_EQ(log.CreateLogFile(logPath().c_str()), 1);
    EXPECT_EQ(log.WriteToLogFL("f.cpp", 1, "fn", std::string(100000, 'x').c_str()), 1);
    if (before >= 0) {
      char got[16] = {};
      EXPECT_LE(pread(before, got, sizeof got - 1, 0), 9);
      EXPECT_EQ(std::string(got).find("Date"), std::string::npos);
      close(before);
    }
    EXPECT_EQ(readWholeFile(target), "untouched");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    ASSERT_EQ(lstat(logPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(contents().rfind(kHeader + "\r\n<< Solvarin log start ", 0), 0u);
    unlink(logPath().c_str());
  }
}

// With a single descriptor left, the directory takes it and the log's own
// file cannot be opened: that line is lost, the file keeps what it holds,
// and the next line that lands says so.
TEST_F(LogFile, ALineWithoutADescriptorLeftIsLostAndTheFileKept) {
  Log log(tmp.path().c_str());
  startLog(log);
  ASSERT_EQ(log.WriteToLog("before"), 1);
  rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;
  for (int d; (d = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(d);
  ASSERT_FALSE(held.empty());
  close(held.back());
  held.pop_back();
  int starved = log.WriteToLog("starved");
  for (int d : held) close(d);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(starved, 0);
  ASSERT_EQ(log.WriteToLog("after"), 1);
  EXPECT_EQ(masked(contents()), kHeader + kStamp + "before\r\n" + kStamp +
                                    "1 earlier lines could not be written to the log\r\n" + kStamp + "after\r\n");
}

// Another user gives the log a second name and makes a directory at its
// name, over and over, while the daemon logs: every line lands in a log of
// the daemon's own at the name, and the last one is there once they stop.
TEST_F(LogFile, AnotherUsersLinksAndDirectoriesAtTheNameNeverStopTheLog) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_TRUE(MakeSharedLogDirectory(tmp.path().c_str()));
  Log log(tmp.path().c_str());
  startLog(log);
  const std::string at = logPath(), alias = tmp.file("alias");
  pid_t racer = fork();
  ASSERT_GE(racer, 0);
  if (racer == 0) {
    // Async-signal-safe calls only, until killed.
    if (setgid(1001) != 0 || setuid(1001) != 0) _exit(1);
    const char* name = at.c_str();
    const char* second = alias.c_str();
    for (;;) {
      unlink(second);
      if (link(name, second) == 0) mkdir(name, 0777);
    }
  }
  const int kLines = 300;
  int landed = 0;
  for (int i = 0; i < kLines; i++) landed += log.WriteToLog(("line " + std::to_string(i)).c_str());
  kill(racer, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(racer, &status, 0), racer);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(landed, kLines);
  struct stat st {};
  ASSERT_EQ(lstat(at.c_str(), &st), 0);
  ASSERT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, 0u);
  const std::string last = "line " + std::to_string(kLines - 1) + "\r\n";
  EXPECT_EQ(contents().rfind(last), contents().size() - last.size());
  // A restart gets the log back whatever they left at the name.
  unlink(at.c_str());
  ASSERT_EQ(mkdir(at.c_str(), 0777), 0);
  ASSERT_EQ(chown(at.c_str(), 1001, 1001), 0);
  Log restarted(tmp.path().c_str());
  EXPECT_EQ(restarted.CreateLogFile(at.c_str()), 1);
  ASSERT_EQ(lstat(at.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Emptying opens the file as every write does, then empties it through
// the descriptor: a second name put there in between is not emptied.
TEST_F(LogFile, ClearingEmptiesNoFileButTheLogsOwn) {
  Log log(tmp.path().c_str());
  startLog(log);
  std::string target = tmp.file("target");
  writeWholeFile(target, "untouched");
  ASSERT_EQ(unlink(logPath().c_str()), 0);
  ASSERT_EQ(link(target.c_str(), logPath().c_str()), 0);
  EXPECT_EQ(log.ClearLogFile(), 1);
  EXPECT_EQ(readWholeFile(target), "untouched");
  EXPECT_EQ(contents(), "");
}

TEST_F(LogFile, ADirectoryOthersMayWriteToGetsItsStickyBitBack) {
  struct Case {
    mode_t before, after;
  } cases[] = {{0777, 01777}, {0775, 01775}, {01777, 01777}, {0755, 0755}, {0700, 0700}};
  Log log(tmp.path().c_str());
  std::string dir = tmp.file("log");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(log.CreateLogFileInDir(dir.c_str(), "SrvLog.csv"), 1);
  for (const Case& c : cases) {
    ASSERT_EQ(chmod(dir.c_str(), c.before), 0);
    EXPECT_EQ(log.WriteToSTR("x"), 1);
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.after) << std::oct << c.before;
  }
}

TEST_F(LogFile, ADirectoryReachedThroughALinkOrOfAnotherUserIsRefused) {
  std::string real = tmp.file("real"), linked = tmp.file("linked");
  ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
  ASSERT_EQ(symlink(real.c_str(), linked.c_str()), 0);
  Log log(tmp.path().c_str());
  EXPECT_EQ(log.CreateLogFileInDir(linked.c_str(), "SrvLog.csv"), 0);
  EXPECT_FALSE(MakeSharedLogDirectory(linked.c_str()));
  struct stat st {};
  EXPECT_NE(stat((real + "/SrvLog.csv").c_str(), &st), 0);
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  if (geteuid() != 0) return;
  ASSERT_EQ(chown(real.c_str(), 1001, 1001), 0);
  EXPECT_EQ(log.CreateLogFileInDir(real.c_str(), "SrvLog.csv"), 0);
  EXPECT_FALSE(MakeSharedLogDirectory(real.c_str()));
  EXPECT_NE(stat((real + "/SrvLog.csv").c_str(), &st), 0);
}

TEST_F(LogFile, TheSharedDirectoryIsMadeOrGivenModeStickyAndWritableByAll) {
  std::string dir = tmp.file("log");
  umask(077);
  EXPECT_TRUE(MakeSharedLogDirectory(dir.c_str()));
  umask(0);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  for (mode_t found : {0777, 0700}) {
    ASSERT_EQ(chmod(dir.c_str(), found), 0);
    EXPECT_TRUE(MakeSharedLogDirectory(dir.c_str()));
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u) << std::oct << found;
  }
  writeWholeFile(tmp.file("file"), "");
  EXPECT_FALSE(MakeSharedLogDirectory(tmp.file("file").c_str()));
}

TEST_F(LogFile, ConcurrentWritersLoseNoLineAndNeverInterleave) {
  Log log(tmp.path().c_str());
  startLog(log);
  const int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; i++) {
        std::string msg = "thread " + std::to_string(t) + " line " + std::to_string(i);
        log.WriteToLogFL("f.cpp", t, "fn", msg.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  std::multiset<std::string> expected, seen;
  for (int t = 0; t < kThreads; t++) {
    for (int i = 0; i < kLines; i++) {
      expected.insert(kStamp + "f.cpp:" + std::to_string(t) + "; fn; p" + pidText() + "; thread " + std::to_string(t) +
                      " line " + std::to_string(i));
    }
  }
  std::string all = masked(contents().substr(kHeader.size()));
  for (size_t pos = 0, end; (end = all.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
    seen.insert(all.substr(pos, end - pos));
  }
  EXPECT_EQ(all.size() - all.rfind("\r\n"), 2u);  // nothing after the last line
  EXPECT_TRUE(seen == expected);
}

}  // namespace
