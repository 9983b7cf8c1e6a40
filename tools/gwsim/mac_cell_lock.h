// The crypto library hands the 64-bit MAC of a single datagram back
// through one global cell: the one-datagram calls (control and out-of-band
// datagrams, GuardSealData and GuardOpenData in MAC mode) store the MAC
// there and read it back, so nothing else may compute a MAC meanwhile. The
// batch calls (GuardSealDataBatch, GuardOpenDataBatch) never read it back,
// so they run side by side: they hold this lock shared, the one-datagram
// calls hold it alone. Writers are preferred, so that a stream of batches
// does not hold a key change or a keep-alive back.
#pragma once
#include <pthread.h>

namespace gwsim {

class MacCellLock {
 public:
  MacCellLock();
  ~MacCellLock();
  MacCellLock(const MacCellLock &) = delete;
  MacCellLock &operator=(const MacCellLock &) = delete;
  // Alone: for the one-datagram calls.
  void lock();
  void unlock();
  // Shared: for the batch calls.
  void lock_shared();
  void unlock_shared();

 private:
  pthread_rwlock_t rw_;
};

}  // namespace gwsim
