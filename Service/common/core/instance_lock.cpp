#include "Service/common/core/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "cross/utils/file_replace.h"

namespace {

// The lock's descriptor, kept open for the life of the process. Children
// that exec do not take it with them.
int g_lockFd = -1;
std::string g_phasePath;
InstancePhase g_phase = INSTANCE_STARTING;

// The directory gets the mode the IPC server gives the run directory,
// whatever the caller's umask.
void makeDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0) chmod(dir.c_str(), 0755);
}

pid_t readPid(const std::string& phasePath) {
  std::ifstream in(phasePath);
  pid_t pid = 0;
  return in >> pid ? pid : 0;
}

bool readableByAll(int fd, const std::string&) { return fchmod(fd, 0644) == 0; }

// The line is a help for people and client programs; the lock is what
// counts, so the callers go on when the write fails. Replaced whole: a
// reader never sees half a line.
void writePhase() {
  std::string text = std::to_string(getpid()) + " " + InstancePhaseWord(g_phase) + "\n";
  ReplaceFileAtomically(g_phasePath, text, readableByAll);
}

}  // namespace

InstanceLockResult TakeInstanceLock(const std::string& dir, pid_t* holder) {
  makeDir(dir);
  std::string lockPath = dir + "/" SOLVARIND_LOCK_NAME, phasePath = dir + "/" SOLVARIND_PHASE_NAME;
  int fd = open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return INSTANCE_LOCK_FAILED;
  // A file made by hand with another mode becomes the lock's own.
  if (fchmod(fd, 0600) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    if (err != EWOULDBLOCK) return INSTANCE_LOCK_FAILED;
    *holder = readPid(phasePath);
    return INSTANCE_LOCK_HELD;
  }
  g_lockFd = fd;
  g_phasePath = phasePath;
  writePhase();
  return INSTANCE_LOCK_TAKEN;
}

void RecordInstancePid() {
  if (g_lockFd >= 0) writePhase();
}

void RecordInstancePhase(InstancePhase phase) {
  g_phase = phase;
  RecordInstancePid();
}
