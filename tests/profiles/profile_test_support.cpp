#include "tests/profiles/profile_test_support.h"

#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>

#include "cross/common/lngs.h"
#include "cross/common/profile_list.h"
#include "cross/common/profile_set.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"
#include "tests/common/spawn.h"

namespace fs = std::filesystem;

namespace {

std::unique_ptr<TestDir> base;
std::string baseDir;
const int kChildMs = 10000;   // how long a child of InChild may take

void setDir(char (&target)[2048], const std::string& path) {
  snprintf(target, sizeof target, "%s", path.c_str());
}

class ProfileEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    base = std::make_unique<TestDir>("zor-profiles");
    baseDir = base->path();
    setDir(installDir, baseDir);
    ASSERT_EQ(GetLog().CreateLogFile((baseDir + "/SrvLog.csv").c_str()), 1);
  }
  void TearDown() override { base.reset(); }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new ProfileEnvironment);

}  // namespace

void ProfileTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir = baseDir + "/" + info->test_suite_name() + "." + info->name();
  std::replace(dir.begin() + static_cast<long>(baseDir.size()) + 1, dir.end(), '/', '_');
  fs::create_directories(dir);
  setDir(settingsDir, dir);
  PC_List_Cleanup();
  *g_ProfileConfigPtr = ProfileConfig();
  LNGS_SetLanguage(LNGS_RUSSIAN);
}

void ProfileTest::TearDown() {
  PC_List_Cleanup();
  fs::remove_all(dir);
}

bool FileExists(const std::string& path) {
  return fs::exists(path);
}

std::string DataFile(const std::string& name) {
  return readWholeFile(std::string(ZOR_SOURCE_DIR) + "/tests/profiles/data/" + name);
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string LogText() {
  return readWholeFile(baseDir + "/SrvLog.csv");
}

json CfgJson() {
  return json{{"ch_cfgver", 0},
              {"ch_features", 0},
              {"ch_flags", 0},
              {"ch_vpncard_packdisable", 0},
              {"ch_othercard_packdisable", 0},
              {"ch_align", 0},
              {"ch_veskipaddr", std::vector<uint32_t>(4, 0)},
              {"ch_serveripaddr", std::vector<uint32_t>(28, 0)},
              {"ch_fcs32", 0}};
}

namespace {

// True when the process runs no thread but this one.
bool SingleThreaded() {
  std::error_code ec;
  fs::directory_iterator tasks("/proc/self/task", ec);
  return !ec && std::distance(tasks, fs::directory_iterator()) == 1;
}

}  // namespace

// The child runs body whole, which is sound only because the profile tests
// start no thread: a test that does must not come here.
std::string InChild(const std::function<std::string()>& body) {
  if (!SingleThreaded()) {
    ADD_FAILURE() << "InChild forks: the test process must run no other thread";
    return "";
  }
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return "";
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out = body();
    ssize_t n = write(fds[1], out.data(), out.size());
    _exit(n == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = WaitChild(pid, 1000);
  if (status < 0) EndChild(pid, SIGKILL);
  EXPECT_EQ(status, 0) << "the child did not end in time or failed";
  return out;
}

bool UsePrivateHosts(const std::string& hosts) {
  std::string hostsFile = baseDir + "/hosts." + std::to_string(getpid());
  std::string nsswitchFile = baseDir + "/nsswitch." + std::to_string(getpid());
  writeWholeFile(hostsFile, hosts);
  writeWholeFile(nsswitchFile, "hosts: files\n");
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(hostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
         mount(nsswitchFile.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0;
}
