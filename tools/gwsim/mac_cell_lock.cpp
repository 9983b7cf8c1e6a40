#include "tools/gwsim/mac_cell_lock.h"

#include <cstdlib>

namespace gwsim {

MacCellLock::MacCellLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  if (pthread_rwlock_init(&rw_, &attr) != 0) abort();
  pthread_rwlockattr_destroy(&attr);
}

MacCellLock::~MacCellLock() { pthread_rwlock_destroy(&rw_); }

void MacCellLock::lock() { pthread_rwlock_wrlock(&rw_); }
void MacCellLock::unlock() { pthread_rwlock_unlock(&rw_); }
void MacCellLock::lock_shared() { pthread_rwlock_rdlock(&rw_); }
void MacCellLock::unlock_shared() { pthread_rwlock_unlock(&rw_); }

}  // namespace gwsim
