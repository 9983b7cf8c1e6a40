#include "tests/filter/test_host.h"

#include <sys/random.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "kern_host.h"
#include "kernel/filter/filter_core.h"

extern "C" {
void *KERN_kmalloc(size_t size) { return malloc(size ? size : 1); }
void KERN_kfree(void *p) { free(p); }
int KERN_snprintf(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = vsnprintf(buf, size, format, ap);
  va_end(ap);
  return r;
}
int KERN_printk(const char *, ...) { return 0; }
void KERN_spin_lock_init(KERN_spinlock_t *lock) { lock->opaque = (uint64_t)(uintptr_t)new std::mutex; }
void KERN_spin_lock_lock(KERN_spinlock_t *lock) { ((std::mutex *)(uintptr_t)lock->opaque)->lock(); }
void KERN_spin_lock_unlock(KERN_spinlock_t *lock) { ((std::mutex *)(uintptr_t)lock->opaque)->unlock(); }
void KERN_spin_lock_free(KERN_spinlock_t *lock) { delete (std::mutex *)(uintptr_t)lock->opaque; }
int KERN_RegisterDevice(uint32_t) { return 0; }
void KERN_DeregisterDevice(void) {}
int KERN_RegisterEvent(void) { return 0; }
int KERN_SendEvent(uint32_t) { return 0; }
int KERN_ClearEvent(uint32_t) { return 0; }
void KERN_DeregisterEvent(void) {}
int KERN_register_device_notifier(void) { return 0; }
void KERN_unregister_device_notifier(void) {}
int KERN_register_pm_notifier(void) { return 0; }
void KERN_unregister_pm_notifier(void) {}
int KERN_net_register_hooks(void) { return 0; }
void KERN_net_unregister_hooks(void) {}
int KERN_InitTimer(uint32_t) { return 0; }
void KERN_DestroyTimer(void) {}
uint32_t KERN_netbuf_len(void *) { return 0; }
int KERN_netbuf_getdata(void *, void *, uint32_t) { return 1; }
void *KERN_netbuf_alloc(void *, const void *, uint32_t, int) { return nullptr; }
int KERN_netbuf_queue_send(void **, int, void *) { return 1; }
int KERN_netbuf_queue_recv(void **, int, void *) { return 1; }
void KERN_netbuf_free(void *) {}
void KERN_DrvGetCurFtime(uint32_t *sec, uint32_t *min, uint32_t *hour, uint32_t *day,
                         uint32_t *month, uint32_t *year, uint64_t *stamp) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  gmtime_r(&ts.tv_sec, &t);
  if (sec) *sec = t.tm_sec;
  if (min) *min = t.tm_min;
  if (hour) *hour = t.tm_hour;
  if (day) *day = t.tm_mday;
  if (month) *month = t.tm_mon + 1;
  if (year) *year = t.tm_year + 1900;
  if (stamp) {
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *stamp = (uint64_t)ts.tv_sec * 1000000000ull + ts.tv_nsec;
  }
}
int KERN_get_random_bytes(void *buf, uint32_t len) {
  return getrandom(buf, len, 0) == (ssize_t)len ? 0 : 1;
}
int KERN_fpu_try_begin(void) { return 1; }
void KERN_fpu_end(void) {}
}

namespace zor::testhost {
namespace {
uint8_t adapter_handle;
}

void Load() {
  if (Zor_init_module() != 0) abort();
  const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
  Zor_DEVN_BindAdapter(&adapter_handle, "tap0", 0, 6, mac, 1500);
  Zor_DEVN_ChangeUPAdapter(&adapter_handle);
}

void Unload() {
  Zor_DEVN_UnBindAdapter(&adapter_handle);
  Zor_cleanup_module();
}

int32_t Reply::status() const {
  int32_t s;
  memcpy(&s, buf.data() + 12, 4);
  return s;
}

uint32_t Reply::length() const {
  uint32_t n;
  memcpy(&n, buf.data() + 20, 4);
  return n;
}

Reply Request(uint32_t code, const std::vector<uint8_t> &payload, uint32_t room,
              int64_t length_field) {
  Reply r;
  r.buf.assign(24 + room, 0);
  r.buf[0] = 0x09;
  r.buf[1] = 0x02;
  uint32_t len = length_field < 0 ? (uint32_t)payload.size() : (uint32_t)length_field;
  memcpy(r.buf.data() + 20, &len, 4);
  memcpy(r.buf.data() + 24, payload.data(), payload.size() < room ? payload.size() : room);
  r.answer = FilterGetInformation(code, r.buf.data(), (uint32_t)r.buf.size());
  return r;
}

}  // namespace zor::testhost
