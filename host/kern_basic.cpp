// The plain KERN_ operations on POSIX: memory, text, locks, time, the
// system's random generator and the vector unit.
#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kern_host.h"

namespace {

// The library's 8-byte lock slot holds a pointer to a mutex: the lock
// holder may be preempted in user space, so waiters sleep instead of spin.
pthread_mutex_t *slot_mutex(KERN_spinlock_t *lock) {
  pthread_mutex_t *m;
  std::memcpy(&m, &lock->opaque, sizeof m);
  return m;
}

}  // namespace

extern "C" {

void *KERN_kmalloc(size_t size) { return std::malloc(size ? size : 1); }
void KERN_kfree(void *p) { std::free(p); }

void KERN_spin_lock_init(KERN_spinlock_t *lock) {
  auto *m = static_cast<pthread_mutex_t *>(std::malloc(sizeof(pthread_mutex_t)));
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  if (!m || pthread_mutex_init(m, &attr) != 0) {
    std::fprintf(stderr, "zornfhost: no memory for a lock\n");
    std::abort();
  }
  std::memcpy(&lock->opaque, &m, sizeof m);
}

void KERN_spin_lock_lock(KERN_spinlock_t *lock) { pthread_mutex_lock(slot_mutex(lock)); }
void KERN_spin_lock_unlock(KERN_spinlock_t *lock) { pthread_mutex_unlock(slot_mutex(lock)); }

void KERN_spin_lock_free(KERN_spinlock_t *lock) {
  pthread_mutex_t *m = slot_mutex(lock);
  if (!m) return;
  pthread_mutex_destroy(m);
  std::free(m);
  lock->opaque = 0;
}

void KERN_DrvGetCurFtime(uint32_t *sec, uint32_t *min, uint32_t *hour, uint32_t *day,
                         uint32_t *month, uint32_t *year, uint64_t *stamp) {
  if (stamp) {
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    *stamp = static_cast<uint64_t>(mono.tv_sec) * 1000000000u + static_cast<uint64_t>(mono.tv_nsec);
  }
  if (!sec && !min && !hour && !day && !month && !year) return;
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  if (sec) *sec = static_cast<uint32_t>(local.tm_sec);
  if (min) *min = static_cast<uint32_t>(local.tm_min);
  if (hour) *hour = static_cast<uint32_t>(local.tm_hour);
  if (day) *day = static_cast<uint32_t>(local.tm_mday);
  if (month) *month = static_cast<uint32_t>(local.tm_mon + 1);
  if (year) *year = static_cast<uint32_t>(local.tm_year + 1900);
}

int KERN_get_random_bytes(void *buf, uint32_t len) {
  uint8_t *p = static_cast<uint8_t *>(buf);
  while (len) {
    ssize_t n = getrandom(p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    p += n;
    len -= static_cast<uint32_t>(n);
  }
  return 0;
}

// User space keeps its vector registers across preemption.
int KERN_fpu_try_begin(void) { return 1; }
void KERN_fpu_end(void) {}

// zornfhost keeps no per-adapter area of its own for the library.
uint32_t KERN_netdev_getaddinfolen(void) { return 0; }

}  // extern "C"
