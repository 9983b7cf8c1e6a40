// Process lookup through /proc and the dispatcher scripts run by hand.
#include "Service/common/core/process_lookup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/common/spawn.h"
#include "tests/common/test_dir.h"

namespace {

// A copy of sleep under a name of our own, running until the test ends.
class NamedSleeper {
 public:
  NamedSleeper(const std::string& dir, const std::string& name) : path(dir + "/" + name) {
    std::filesystem::copy_file("/bin/sleep", path);
    chmod(path.c_str(), 0755);
    child = SpawnChild({path, "30"});
  }
  ~NamedSleeper() { EndChild(child, SIGKILL); }
  std::string path;
  pid_t child;
};

// True once pid runs program with its command line in place: the kernel
// links the new executable before it writes the command line, so the link
// alone does not show that the exec is done.
bool runningAs(pid_t pid, const std::string& program) {
  std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 500; i++) {
    char target[4096];
    ssize_t n = readlink((proc + "/exe").c_str(), target, sizeof target);
    std::string cmdline = readWholeFile(proc + "/cmdline");
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == program &&
        cmdline.substr(0, cmdline.find('\0')) == program)
      return true;
    usleep(10000);
  }
  return false;
}

TEST(ProcessLookupTest, FindsByCommAndByCommandLineForLongNames) {
  TestDir dir;
  NamedSleeper shortName(dir.path(), "kestrl3_session");
  NamedSleeper longName(dir.path(), "a_name_longer_than_fifteen");
  ASSERT_TRUE(runningAs(shortName.child, shortName.path));
  ASSERT_TRUE(runningAs(longName.child, longName.path));
  EXPECT_EQ(getProcessPathByName("kestrl3_session"), dir.path());
  // comm keeps 15 characters: this one is found through the command line.
  EXPECT_EQ(getProcessPathByName("a_name_longer_than_fifteen"), dir.path());
  EXPECT_EQ(getProcessPathByName("no_such_program_here"), "");
}

void script(const TestDir& dir, const std::string& name, const std::string& body) {
  writeWholeFile(dir.file(name), "#!/bin/sh\n" + body + "\n");
  chmod(dir.file(name).c_str(), 0755);
}

TEST(DispatcherScriptsTest, RunsInOrderWithTheVariablesAndStopsAtAFailure) {
  TestDir dir, out;
  std::string log = out.file("ran");
  script(dir, "10-first", "echo \"1 $NM_DISPATCHER_ACTION $CONNECTIVITY_STATE\" >> " + log);
  script(dir, "20-fails", "echo 2 >> " + log + "; exit 3");
  script(dir, "30-never", "echo 3 >> " + log);
  mkdir(dir.file("40-a-directory").c_str(), 0755);
  EXPECT_EQ(RunDispatcherScripts("up", "FULL", dir.path() + "/"), -2);
  EXPECT_EQ(readWholeFile(log), "1 up FULL\n2\n");
}

TEST(DispatcherScriptsTest, EmptyDirectoryRunsNothingAndAMissingOneFails) {
  TestDir dir;
  mkdir(dir.file("only-a-directory").c_str(), 0755);
  EXPECT_EQ(RunDispatcherScripts("up", "FULL", dir.path() + "/"), 0);
  EXPECT_EQ(RunDispatcherScripts("up", "FULL", dir.file("missing") + "/"), -1);
  EXPECT_TRUE(IsDirectory(dir.path()));
  EXPECT_FALSE(IsDirectory(dir.file("missing")));
}

TEST(DispatcherScriptsTest, AScriptEndedByASignalCountsAsSuccess) {
  TestDir dir, out;
  script(dir, "10-killed", "kill -9 $$");
  script(dir, "20-after", "echo after > " + out.file("ran"));
  EXPECT_EQ(RunDispatcherScripts("down", "NONE", dir.path() + "/"), 0);
  EXPECT_EQ(readWholeFile(out.file("ran")), "after\n");
}

}  // namespace
