// The in-test kernel host: memory, locks, printing and time.
#include "tests/fsguard/test_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kernel/fsguard/guard.h"

namespace test_host {
namespace {

std::atomic<long> g_live{0};
std::atomic<int> g_failIn{0};
std::atomic<uint32_t> g_now{0};
thread_local int t_held = 0;
std::mutex g_printMutex;
std::vector<std::string> g_printed;

}  // namespace

void reset() {
  g_failIn = 0;
  g_now = 0;
  std::lock_guard<std::mutex> hold(g_printMutex);
  g_printed.clear();
}
void fail_allocation(int n) { g_failIn = n; }
long live_allocations() { return g_live; }
bool lock_held() { return t_held > 0; }
void set_now(uint32_t dosTime) { g_now = dosTime; }
const std::vector<std::string> &printed() { return g_printed; }

}  // namespace test_host

using namespace test_host;

extern "C" {

void *KERN_kmalloc(size_t size) {
  int failIn = g_failIn.load();
  if (failIn > 0 && g_failIn.fetch_sub(1) == 1) return nullptr;
  void *p = malloc(size == 0 ? 1 : size);
  if (p != nullptr) {
    ++g_live;
    memset(p, 0xCC, size);  // kernel memory comes uninitialised
  }
  return p;
}

void KERN_kfree(void *p) {
  if (p == nullptr) return;
  --g_live;
  free(p);
}

void KERN_spin_lock_init(KERN_spinlock_t *slot) { slot->opaque = 0; }
void KERN_spin_lock_free(KERN_spinlock_t *slot) {
  EXPECT_EQ(slot->opaque, 0u) << "lock freed while held";
}
void KERN_spin_lock_lock(KERN_spinlock_t *slot) {
  if (t_held > 0) {
    ADD_FAILURE() << "guard lock taken twice by one thread";
    abort();  // a real spin lock would hang here
  }
  uint64_t *word = &slot->opaque;
  while (__atomic_exchange_n(word, 1, __ATOMIC_ACQUIRE) != 0) {
  }
  ++t_held;
}
void KERN_spin_lock_unlock(KERN_spinlock_t *slot) {
  EXPECT_GT(t_held, 0) << "guard lock released without being held";
  --t_held;
  __atomic_store_n(&slot->opaque, 0, __ATOMIC_RELEASE);
}

int KERN_printk(const char *format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> hold(g_printMutex);
  g_printed.emplace_back(line);
  return 0;
}

uint32_t DrvGetCurFtime(uint64_t *stamp) {
  if (stamp != nullptr) {
    *stamp = 0;
    return 0;
  }
  return g_now;
}

}  // extern "C"
