// Writing cfg.ini replaces the file whole or not at all, in both versions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <functional>

#include "cross/common/profile_file_io.h"
#include "cross/common/profile_file_v1.h"
#include "cross/common/profile_file_v2.h"
#include "cross/common/profile_list.h"
#include "cross/utils/execution_dir.h"
#include "tests/profiles/profile_test_support.h"

namespace {

using ProfileWrite = ProfileTest;

const char kOld[] = "{\"old\": true}";

ProfileConfig setNamed(const std::string& name) {
  ProfileConfig set;
  set.profiles.resize(1);
  set.profiles[0].humanReadName = name;
  return set;
}

void listNamed(const std::string& name) {
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(1);
  snprintf(p->humanReadName, sizeof p->humanReadName, "%s", name.c_str());
}

// Runs write in a child whose files may not grow past 64 bytes.
std::string underSizeLimit(const std::function<int()>& write) {
  return InChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    return std::to_string(write());
  });
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST_F(ProfileWrite, TextThatIsNotUtf8LeavesTheFirstVersionFile) {
  writeWholeFile(cfgPath(), kOld);
  listNamed("bad \xC3");
  EXPECT_THROW(PC_List_SaveCfg(0, nullptr, nullptr, 0), json::type_error);
  char buf[4096] = "untouched";
  unsigned len = sizeof buf;
  EXPECT_THROW(PC_List_SaveCfg(1, buf, &len, 0), json::type_error);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(readWholeFile(cfgPath()), kOld);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
  EXPECT_TRUE(mx_cfgwork_guard.try_lock());
  mx_cfgwork_guard.unlock();
}

TEST_F(ProfileWrite, TextThatIsNotUtf8LeavesTheSecondVersionFile) {
  writeWholeFile(cfgPath(), kOld);
  ProfileConfig set = setNamed("bad \xFF");
  EXPECT_THROW(JSON_Write(cfgPath(), set), json::type_error);
  EXPECT_EQ(readWholeFile(cfgPath()), kOld);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
}

TEST_F(ProfileWrite, FailedWriteLeavesTheOldFileAndNoTemporary) {
  writeWholeFile(cfgPath(), kOld);
  listNamed(std::string(60, 'n'));
  EXPECT_EQ(underSizeLimit([] { return PC_List_SaveCfg(0, nullptr, nullptr, 0); }), "-1");
  EXPECT_EQ(readWholeFile(cfgPath()), kOld);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});

  ProfileConfig set = setNamed(std::string(60, 'n'));
  EXPECT_EQ(underSizeLimit([&] { return JSON_Write(cfgPath(), set); }), "-1");
  EXPECT_EQ(readWholeFile(cfgPath()), kOld);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
}

TEST_F(ProfileWrite, MissingDirectoryIsReported) {
  snprintf(settingsDir, sizeof settingsDir, "%s/absent", dir.c_str());
  EXPECT_EQ(PC_List_SaveCfg(0, nullptr, nullptr, 0), -1);
  ProfileConfig set;
  EXPECT_EQ(JSON_Write(dir + "/absent/cfg.ini", set), -1);
}

TEST_F(ProfileWrite, ReplacedFileKeepsItsMode) {
  ProfileConfig set;
  ASSERT_EQ(JSON_Write(cfgPath(), set), 0);
  EXPECT_EQ(modeOf(cfgPath()), 0644u);
  ASSERT_EQ(chmod(cfgPath().c_str(), 0600), 0);
  ASSERT_EQ(PC_List_SaveCfg(0, nullptr, nullptr, 0), 0);
  EXPECT_EQ(modeOf(cfgPath()), 0600u);
  ASSERT_EQ(JSON_Write(cfgPath(), set), 0);
  EXPECT_EQ(modeOf(cfgPath()), 0600u);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
}

TEST_F(ProfileWrite, FileFunctions) {
  const std::string sub = dir + "/sub";
  EXPECT_FALSE(dir_exists(sub));
  EXPECT_TRUE(make_dir(sub));
  EXPECT_TRUE(make_dir(sub));
  EXPECT_TRUE(dir_exists(sub));
  EXPECT_FALSE(make_dir(dir + "/absent/sub"));
  EXPECT_FALSE(file_exists(sub + "/a"));
  std::string bytes(10000, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>(i * 7);
  writeWholeFile(sub + "/a", bytes);
  EXPECT_TRUE(file_exists(sub + "/a"));
  EXPECT_FALSE(dir_exists(sub + "/a"));
  EXPECT_TRUE(copy_file(sub + "/a", sub + "/b"));
  EXPECT_EQ(readWholeFile(sub + "/b"), bytes);
  writeWholeFile(sub + "/empty", "");
  EXPECT_TRUE(copy_file(sub + "/empty", sub + "/b"));
  EXPECT_EQ(readWholeFile(sub + "/b"), "");
  EXPECT_FALSE(copy_file(sub + "/absent", sub + "/c"));
  EXPECT_FALSE(copy_file(sub + "/a", dir + "/absent/c"));
}

}  // namespace
