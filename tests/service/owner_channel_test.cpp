// Where solvarin-cli's owner channel lives: the runtime directory is taken
// only when it is this user's own and no other user may enter it; one that
// others may enter, or one of another user, is passed over for the next
// place the channel is looked for.
#include "tools/solvarin-cli/owner_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/test_dir.h"

namespace {

struct DirCase {
  const char* name;
  mode_t mode;
  bool otherUsers;  // the directory belongs to another user
  bool taken;
};

const DirCase kDirCases[] = {
    {"0700, this user's", 0700, false, true},
    {"0701: others may enter", 0701, false, false},
    {"0705", 0705, false, false},
    {"0750: the group may enter", 0750, false, false},
    {"0770", 0770, false, false},
    {"0700, another user's", 0700, true, false},
};

constexpr uid_t kOtherUser = 65534;

class OwnerChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = getenv("XDG_RUNTIME_DIR")) saved = v;
  }
  void TearDown() override {
    if (saved)
      setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
    else
      unsetenv("XDG_RUNTIME_DIR");
  }
  std::optional<std::string> saved;
};

// An `up` listens in a private runtime directory, which is then given the
// case's mode and owner: a later command finds that `up` only where the
// directory is still private.
TEST_F(OwnerChannel, TheRuntimeDirectoryIsTakenOnlyWhenNoOtherUserMayEnterIt) {
  TestDir top;
  int made = 0;
  for (const DirCase& c : kDirCases) {
    SCOPED_TRACE(c.name);
    if (c.otherUsers && geteuid() != 0) continue;  // only root can give a directory away
    const std::string dir = top.file("run" + std::to_string(made++));
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    const int listening = OwnerChannelListen(&error);
    ASSERT_GE(listening, 0) << error;
    ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
    if (c.otherUsers) {
      ASSERT_EQ(chown(dir.c_str(), kOtherUser, kOtherUser), 0);
    }

    std::atomic<bool> asked{false}, done{false};
    std::thread up([&] {
      while (!done) {
        pollfd p{listening, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        std::string request;
        const int fd = OwnerChannelNext(listening, &request);
        if (fd < 0) continue;
        asked = true;
        OwnerChannelAnswer(fd, {"pid " + std::to_string(getpid())}, 0);
      }
    });
    std::vector<std::string> lines;
    int exitCode = -1;
    const bool answered = OwnerChannelAsk("info", &lines, &exitCode);
    done = true;
    up.join();
    close(listening);
    EXPECT_EQ(asked.load(), c.taken);
    if (c.taken) {
      EXPECT_TRUE(answered);
      EXPECT_EQ(OwnerChannelValue(lines, "pid"), std::to_string(getpid()));
      EXPECT_EQ(exitCode, 0);
    }
  }
}

}  // namespace
