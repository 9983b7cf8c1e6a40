#include "tests/host/test_host.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/work_queue.h"
#include "kern_host.h"

namespace testhost {
namespace {

// Allocation and printing may come from several threads at once.
std::mutex host_mutex;
thread_local int locks_held = 0;

// A lock of the library: a mutex and the thread that holds it.
struct HostLock {
  std::mutex m;
  std::atomic<std::thread::id> owner{};
};

HostLock *host_lock(KERN_spinlock_t *lock) {
  HostLock *l;
  std::memcpy(&l, &lock->opaque, sizeof l);
  return l;
}

// A misuse of a lock would hang or corrupt a kernel: the test stops here.
[[noreturn]] void lock_fault(const char *what) {
  std::fprintf(stderr, "test host: %s\n", what);
  std::abort();
}

// hold_next_work: the next works wait in before_work until released.
std::mutex hold_mutex;
std::condition_variable hold_released;
unsigned to_hold, held;
uint64_t release_count;
std::atomic<uint64_t> done_count;

void before_work(unsigned) {
  std::unique_lock<std::mutex> lock(hold_mutex);
  if (!to_hold) return;
  to_hold--;
  held++;
  const uint64_t release = release_count;
  hold_released.wait(lock, [release] { return release_count != release; });
}

void after_work() { done_count++; }

}  // namespace

State &state() {
  static State s;
  return s;
}

void reset() { state() = State(); }

void advance_seconds(uint64_t s) { state().mono_ns += s * 1000000000ull; }

Netbuf frame(void *netdev, std::vector<uint8_t> bytes) { return Netbuf{netdev, false, std::move(bytes)}; }

bool lock_held() { return locks_held > 0; }

std::vector<Netbuf *> take_handed_over() {
  std::lock_guard<std::mutex> hold(host_mutex);
  std::vector<Netbuf *> out;
  out.swap(state().taken);
  return out;
}

std::vector<void *> stops(uint32_t direction) {
  std::lock_guard<std::mutex> hold(host_mutex);
  return state().flow_stops[direction & 1];
}

std::vector<void *> wakes(uint32_t direction) {
  std::lock_guard<std::mutex> hold(host_mutex);
  return state().flow_wakes[direction & 1];
}

void use_workers(int count, unsigned depth) {
  zornfhost::stop_workers();
  done_count = 0;
  zornfhost::start_workers(count, depth, {before_work, after_work});
}

int default_workers() {
  const char *n = std::getenv("ZOR_TEST_WORKERS");
  return n ? std::atoi(n) : 0;
}

void hold_next_work() {
  std::lock_guard<std::mutex> hold(hold_mutex);
  to_hold++;
}

unsigned works_held() {
  std::lock_guard<std::mutex> hold(hold_mutex);
  return held;
}

bool work_is_held() { return works_held() > 0; }

void release_work() {
  {
    std::lock_guard<std::mutex> hold(hold_mutex);
    to_hold = held = 0;
    release_count++;
  }
  hold_released.notify_all();
}

uint64_t works_done() { return done_count; }

}  // namespace testhost

using namespace testhost;

extern "C" {

void *KERN_kmalloc(size_t size) {
  std::lock_guard<std::mutex> hold(host_mutex);
  auto &s = state();
  s.allocs++;
  if (s.fail_alloc_at && --s.fail_alloc_at == 0) return nullptr;
  void *p = std::malloc(size == 0 ? 1 : size);
  if (!p) return nullptr;
  s.live_allocs++;
  std::memset(p, 0xCC, size);
  return p;
}

void KERN_kfree(void *p) {
  if (!p) return;
  std::lock_guard<std::mutex> hold(host_mutex);
  state().live_allocs--;
  std::free(p);
}

int KERN_printk(const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(host_mutex);
  state().log.push_back(line);
  return 0;
}

void KERN_spin_lock_init(KERN_spinlock_t *lock) {
  auto *l = new HostLock;
  std::memcpy(&lock->opaque, &l, sizeof l);
}
void KERN_spin_lock_lock(KERN_spinlock_t *lock) {
  HostLock *l = host_lock(lock);
  if (l->owner.load() == std::this_thread::get_id()) lock_fault("lock taken twice by one thread");
  l->m.lock();
  l->owner = std::this_thread::get_id();
  ++locks_held;
}
void KERN_spin_lock_unlock(KERN_spinlock_t *lock) {
  HostLock *l = host_lock(lock);
  if (l->owner.load() != std::this_thread::get_id()) lock_fault("lock released by a thread that does not hold it");
  l->owner = std::thread::id();
  --locks_held;
  l->m.unlock();
}
void KERN_spin_lock_free(KERN_spinlock_t *lock) {
  HostLock *l = host_lock(lock);
  if (!l) return;  // never initialised: nothing to free, as in zornfhost
  if (l->owner.load() != std::thread::id()) lock_fault("lock freed while held");
  delete l;
  lock->opaque = 0;
}

int KERN_RegisterDevice(uint32_t) { return state().register_device_result; }
void KERN_DeregisterDevice(void) {}
int KERN_RegisterEvent(void) { return state().register_event_result; }
int KERN_SendEvent(uint32_t pid) {
  state().doorbells.push_back(pid);
  return pid == 0 ? 1 : state().send_event_result;
}
int KERN_ClearEvent(uint32_t) {
  state().clears++;
  return 0;
}
void KERN_DeregisterEvent(void) {}

int KERN_register_device_notifier(void) { return 0; }
void KERN_unregister_device_notifier(void) {}
int KERN_register_pm_notifier(void) { return 0; }
void KERN_unregister_pm_notifier(void) {}
int KERN_net_register_hooks(void) { return 0; }
void KERN_net_unregister_hooks(void) {}
uint32_t KERN_netdev_getaddinfolen(void) { return 0; }

int KERN_InitTimer(uint32_t) {
  state().timers_started++;
  return 0;
}
void KERN_DestroyTimer(void) {}

uint32_t KERN_netbuf_len(void *nb) {
  return static_cast<uint32_t>(static_cast<testhost::Netbuf *>(nb)->bytes.size());
}
int KERN_netbuf_getdata(void *nb, void *dst, uint32_t len) {
  auto *b = static_cast<testhost::Netbuf *>(nb);
  if (len > b->bytes.size()) return 1;
  std::memcpy(dst, b->bytes.data(), len);
  return 0;
}
// Buffers are made, handed over and freed by the library's workers too.
void *KERN_netbuf_alloc(void *netdev, const void *data, uint32_t len, int to_network) {
  auto *p = static_cast<const uint8_t *>(data);
  std::lock_guard<std::mutex> hold(host_mutex);
  state().live_netbufs++;
  return new testhost::Netbuf{netdev, to_network != 0, std::vector<uint8_t>(p, p + len)};
}
// The recording host keeps what it was handed at once.
void *KERN_netbuf_wrap(void *netdev, const void *data, uint32_t len, int to_network) {
  return KERN_netbuf_alloc(netdev, data, len, to_network);
}
static int take(void **bufs, int count) {
  std::lock_guard<std::mutex> hold(host_mutex);
  state().handovers.push_back(count);
  if (state().queue_result) return state().queue_result;
  for (int i = 0; i < count; i++) state().taken.push_back(static_cast<testhost::Netbuf *>(bufs[i]));
  return 0;
}
int KERN_netbuf_queue_send(void **bufs, int count, void *) { return take(bufs, count); }
int KERN_netbuf_queue_recv(void **bufs, int count, void *) { return take(bufs, count); }
void KERN_netdev_stop(void *netdev, uint32_t direction) {
  std::lock_guard<std::mutex> hold(host_mutex);
  state().flow_stops[direction & 1].push_back(netdev);
}
void KERN_netdev_wake(void *netdev, uint32_t direction) {
  std::lock_guard<std::mutex> hold(host_mutex);
  state().flow_wakes[direction & 1].push_back(netdev);
}
void KERN_netbuf_free(void *nb) {
  std::lock_guard<std::mutex> hold(host_mutex);
  state().live_netbufs--;
  delete static_cast<testhost::Netbuf *>(nb);
}

void KERN_DrvGetCurFtime(uint32_t *sec, uint32_t *min, uint32_t *hour, uint32_t *day,
                         uint32_t *month, uint32_t *year, uint64_t *stamp) {
  auto &s = state();
  if (sec) *sec = s.sec;
  if (min) *min = s.min;
  if (hour) *hour = s.hour;
  if (day) *day = s.day;
  if (month) *month = s.month;
  if (year) *year = s.year;
  if (stamp) *stamp = s.mono_ns;
}

int KERN_get_random_bytes(void *buf, uint32_t len) {
  std::memset(buf, state().random_fill, len);
  return state().random_result;
}

int KERN_fpu_try_begin(void) { return 1; }
void KERN_fpu_end(void) {}

}  // extern "C"
