// The instance lock in a directory of the test's own: a second daemon is
// refused with the first one's id and without waiting, the lock is a file
// no other user may open, the phase file is readable by all and holds the
// phase, and a lock held on the phase file (by any user) holds up nothing.
#include "Service/common/core/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

namespace {

struct Take {
  InstanceLockResult result;
  pid_t holder;
};

// TakeInstanceLock on a thread of its own, given up after 5 s: a take that
// waited for the lock would otherwise hang the test.
std::optional<Take> takeWithin5s(const std::string& dir) {
  auto done = std::make_shared<std::promise<Take>>();
  std::future<Take> taken = done->get_future();
  std::thread([dir, done] {
    pid_t holder = 0;
    InstanceLockResult r = TakeInstanceLock(dir, &holder);
    done->set_value({r, holder});
  }).detach();
  if (taken.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return std::nullopt;
  return taken.get();
}

std::string textOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(InstanceLockTest, ASecondDaemonIsRefusedWithTheFirstOnesIdAndAPhaseFileLockHoldsUpNothing) {
  char tmpl[] = "/tmp/instance-lock-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, lock = dir + "/" SOLVARIND_LOCK_NAME, phase = dir + "/" SOLVARIND_PHASE_NAME;
  // The phase file of a daemon before, locked by somebody who waits for its end.
  std::ofstream(phase) << "1 stopping\n";
  int squatter = open(phase.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(squatter, 0);
  ASSERT_EQ(flock(squatter, LOCK_EX | LOCK_NB), 0);

  std::optional<Take> first = takeWithin5s(dir);
  ASSERT_TRUE(first) << "the first daemon waited for the lock";
  EXPECT_EQ(first->result, INSTANCE_LOCK_TAKEN) << "a lock on the phase file held up the start";
  EXPECT_EQ(modeOf(lock), S_IFREG | 0600) << "the lock file is open to other users";
  EXPECT_EQ(modeOf(phase), S_IFREG | 0644) << "clients cannot read the phase file";
  const std::string self = std::to_string(getpid());
  EXPECT_EQ(textOf(phase), self + " starting\n");

  std::optional<Take> second = takeWithin5s(dir);
  ASSERT_TRUE(second) << "a second daemon waited for the lock instead of being refused";
  EXPECT_EQ(second->result, INSTANCE_LOCK_HELD);
  EXPECT_EQ(second->holder, getpid()) << "the refusal does not name the first daemon";

  RecordInstancePhase(INSTANCE_SERVING);
  EXPECT_EQ(textOf(phase), self + " serving\n");
  RecordInstancePhase(INSTANCE_STOPPING);
  EXPECT_EQ(textOf(phase), self + " stopping\n");
  close(squatter);
  unlink(phase.c_str());
  unlink(lock.c_str());
  rmdir(dir.c_str());
}

}  // namespace
