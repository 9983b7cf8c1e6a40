#include "cross/utils/ipc_user_bounds.h"

#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>

namespace {

std::mutex mtx;
// Never destroyed: detached reader threads may close sockets while the process exits.
std::map<int, uid_t>& owners = *new std::map<int, uid_t>();   // counted fd -> its uid
std::map<uid_t, int>& counts = *new std::map<uid_t, int>();   // uid -> live connections
using Clock = std::chrono::steady_clock;
std::map<uid_t, Clock::time_point>& backedOff = *new std::map<uid_t, Clock::time_point>();  // uid -> until

}  // namespace

std::atomic<int> ipc_back_off_ms{10000};

bool IPC_TakeUserConnection(uid_t uid, int fd) {
  std::lock_guard<std::mutex> lock(mtx);
  int& n = counts[uid];
  if (n >= kIpcConnectionsPerUser) return false;
  ++n;
  owners[fd] = uid;
  return true;
}

void IPC_ReleaseUserConnection(int fd) {
  std::lock_guard<std::mutex> lock(mtx);
  auto it = owners.find(fd);
  if (it == owners.end()) return;
  auto count = counts.find(it->second);
  if (--count->second == 0) counts.erase(count);
  owners.erase(it);
}

void IPC_CloseUserConnection(int fd) {
  if (fd < 0) return;
  IPC_ReleaseUserConnection(fd);
  close(fd);
}

void IPC_BackOffUserOf(int fd) {
  std::lock_guard<std::mutex> lock(mtx);
  auto it = owners.find(fd);
  if (it != owners.end()) backedOff[it->second] = Clock::now() + std::chrono::milliseconds(ipc_back_off_ms);
}

bool IPC_UserBackedOff(uid_t uid) {
  std::lock_guard<std::mutex> lock(mtx);
  auto it = backedOff.find(uid);
  if (it == backedOff.end()) return false;
  if (Clock::now() < it->second) return true;
  backedOff.erase(it);
  return false;
}
