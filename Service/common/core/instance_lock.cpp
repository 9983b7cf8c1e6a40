#include "Service/common/core/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The lock's descriptor, kept open for the life of the process. Children
// that exec do not take it with them.
int g_lockFd = -1;
InstancePhase g_phase = INSTANCE_STARTING;

// The run directory gets the mode the IPC server gives it, whatever the
// caller's umask.
void makeRunDir() {
  if (mkdir(IPC_RUN_DIR, 0755) == 0) chmod(IPC_RUN_DIR, 0755);
}

pid_t readPid(int fd) {
  char text[32] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  return n > 0 ? static_cast<pid_t>(strtol(text, nullptr, 10)) : 0;
}

// The line is a help for people and client programs reading the file; the
// lock is what counts, so the callers go on when the write fails.
bool writePid(int fd) {
  std::string text = std::to_string(getpid()) + " " + InstancePhaseWord(g_phase) + "\n";
  return ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

}  // namespace


InstanceLockResult TakeInstanceLock(pid_t* holder) {
  makeRunDir();
  int fd = open(SOLVARIND_LOCK_PATH, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return INSTANCE_LOCK_FAILED;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    *holder = err == EWOULDBLOCK ? readPid(fd) : 0;
    close(fd);
    errno = err;
    return err == EWOULDBLOCK ? INSTANCE_LOCK_HELD : INSTANCE_LOCK_FAILED;
  }
  g_lockFd = fd;
  writePid(fd);
  return INSTANCE_LOCK_TAKEN;
}

void RecordInstancePid() {
  if (g_lockFd >= 0) writePid(g_lockFd);
}

void RecordInstancePhase(InstancePhase phase) {
  g_phase = phase;
  RecordInstancePid();
}
