#include "tests/host/test_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kern_host.h"

namespace testhost {

State &state() {
  static State s;
  return s;
}

void reset() { state() = State(); }

void advance_seconds(uint64_t s) { state().mono_ns += s * 1000000000ull; }

Netbuf frame(void *netdev, std::vector<uint8_t> bytes) { return Netbuf{netdev, false, std::move(bytes)}; }

}  // namespace testhost

using testhost::state;

extern "C" {

void *KERN_kmalloc(size_t size) {
  auto &s = state();
  s.allocs++;
  if (s.fail_alloc_at && --s.fail_alloc_at == 0) return nullptr;
  s.live_allocs++;
  return std::malloc(size);
}

void KERN_kfree(void *p) {
  if (!p) return;
  state().live_allocs--;
  std::free(p);
}

int KERN_printk(const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  state().log.push_back(line);
  return 0;
}

void KERN_spin_lock_init(KERN_spinlock_t *lock) {
  auto *m = new std::mutex;
  std::memcpy(&lock->opaque, &m, sizeof m);
}
static std::mutex *slot(KERN_spinlock_t *lock) {
  std::mutex *m;
  std::memcpy(&m, &lock->opaque, sizeof m);
  return m;
}
void KERN_spin_lock_lock(KERN_spinlock_t *lock) { slot(lock)->lock(); }
void KERN_spin_lock_unlock(KERN_spinlock_t *lock) { slot(lock)->unlock(); }
void KERN_spin_lock_free(KERN_spinlock_t *lock) {
  delete slot(lock);
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
void *KERN_netbuf_alloc(void *netdev, const void *data, uint32_t len, int to_network) {
  auto *p = static_cast<const uint8_t *>(data);
  state().live_netbufs++;
  return new testhost::Netbuf{netdev, to_network != 0, std::vector<uint8_t>(p, p + len)};
}
static int take(void **bufs, int count) {
  state().handovers.push_back(count);
  if (state().queue_result) return state().queue_result;
  for (int i = 0; i < count; i++) state().taken.push_back(static_cast<testhost::Netbuf *>(bufs[i]));
  return 0;
}
int KERN_netbuf_queue_send(void **bufs, int count, void *) { return take(bufs, count); }
int KERN_netbuf_queue_recv(void **bufs, int count, void *) { return take(bufs, count); }
void KERN_netbuf_free(void *nb) {
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
