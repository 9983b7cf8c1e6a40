// The host-layer contract of ZorNFFltLib: the operations a kernel host gives
// the library, and the library's entry points that the host calls by name.
// Kernel-side code includes only this and the freestanding compiler headers.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

// ---------------------------------------------------------------------------
// Operations the host provides.

// Plain memory and string functions that every kernel provides.
void *memcpy(void *dst, const void *src, size_t n);
void *memset(void *dst, int c, size_t n);
void *memmove(void *dst, const void *src, size_t n);
size_t strlen(const char *s);

// Memory: uninitialised memory or NULL; KERN_kfree(NULL) does nothing.
void *KERN_kmalloc(size_t size);
void KERN_kfree(void *p);

// Text helpers with the usual C semantics.
void *KERN_memcpy(void *dst, const void *src, size_t n);
void *KERN_memset(void *dst, int c, size_t n);
void *KERN_memmove(void *dst, const void *src, size_t n);
int KERN_strcmp(const char *a, const char *b);
char *KERN_strncpy(char *dst, const char *src, size_t n);
size_t KERN_strlen(const char *s);
char *KERN_strncat(char *dst, const char *src, size_t n);
int KERN_snprintf(char *buf, size_t size, const char *format, ...);
// Writes to the host's log.
int KERN_printk(const char *format, ...);

// Spin locks in an 8-byte slot owned by the library. Not recursive; nothing
// that sleeps may run while one is held.
typedef struct {
  uint64_t opaque;
} KERN_spinlock_t;
void KERN_spin_lock_init(KERN_spinlock_t *lock);
void KERN_spin_lock_lock(KERN_spinlock_t *lock);
void KERN_spin_lock_unlock(KERN_spinlock_t *lock);
void KERN_spin_lock_free(KERN_spinlock_t *lock);

// Control device: 0 on success; from then on every control request goes to
// Zor_Filter_DRV_IoControl_Function until KERN_DeregisterDevice.
int KERN_RegisterDevice(uint32_t size);
void KERN_DeregisterDevice(void);

// Event doorbell of the service process: 0 on success / when delivered.
int KERN_RegisterEvent(void);
int KERN_SendEvent(uint32_t pid);
int KERN_ClearEvent(uint32_t pid);
void KERN_DeregisterEvent(void);

// Notifiers and packet hooks (results are informational). While registered
// the host calls the adapter, power and packet entry points below.
int KERN_register_device_notifier(void);
void KERN_unregister_device_notifier(void);
int KERN_register_pm_notifier(void);
void KERN_unregister_pm_notifier(void);
int KERN_net_register_hooks(void);
void KERN_net_unregister_hooks(void);
// Size of the host's own per-adapter area (0: the host keeps none).
uint32_t KERN_netdev_getaddinfolen(void);

// Periodic timer: Zor_DEV_NetTimerCallback every `ms` milliseconds, never
// concurrently with itself. 0 on success.
int KERN_InitTimer(uint32_t ms);
void KERN_DestroyTimer(void);

// Packet buffers. A netbuf is the host's; the library never looks inside.
uint32_t KERN_netbuf_len(void *netbuf);
// Copies `len` bytes of the frame to `dst`; 0 on success.
int KERN_netbuf_getdata(void *netbuf, void *dst, uint32_t len);
// A new buffer holding a copy of `data`, to be sent to the network
// (toNetwork non-zero) or up to the local stack; NULL when none.
void *KERN_netbuf_alloc(void *netdev, const void *data, uint32_t len, int toNetwork);
// The same without the copy: the buffer refers to `data`, which the library
// leaves untouched until the buffer's completion; NULL when none.
void *KERN_netbuf_wrap(void *netdev, const void *data, uint32_t len, int toNetwork);
// Hand `count` buffers to the network side (send) or to the local stack
// (recv) of `netdev`. 0: the host took them over and reports each one's
// completion later through Zor_net_inputoutput_complete, never from inside
// this call. Non-zero: refused; the library frees them with KERN_netbuf_free.
int KERN_netbuf_queue_send(void **netbufs, int count, void *netdev);
int KERN_netbuf_queue_recv(void **netbufs, int count, void *netdev);
void KERN_netbuf_free(void *netbuf);
// Flow control, as a kernel stops and wakes a device's queue: the library
// is short of room for more frames of `direction` (KERN_FROM_*) of
// `netdev`, so the host hands it none until KERN_netdev_wake; its reader
// may wait for the wake, in its own thread and for a bounded time. Frames
// handed over meanwhile are treated as ever. Neither call waits.
void KERN_netdev_stop(void *netdev, uint32_t direction);
void KERN_netdev_wake(void *netdev, uint32_t direction);

// Wall-clock time (year in full) and a 64-bit monotonic stamp in
// nanoseconds; any pointer may be NULL.
void KERN_DrvGetCurFtime(uint32_t *sec, uint32_t *min, uint32_t *hour, uint32_t *day,
                         uint32_t *month, uint32_t *year, uint64_t *stamp);

// Fills `len` bytes from the operating system's random generator; 0 on success.
int KERN_get_random_bytes(void *buf, uint32_t len);

// Vector-unit sections: non-zero when vector registers may be used until
// KERN_fpu_end().
int KERN_fpu_try_begin(void);
void KERN_fpu_end(void);

// Deferred work, in the manner of a kernel work queue. A work is the
// library's memory; the host takes it off its queue, then calls
// work->fn(work) once on one of its workers, outside every lock of the
// library (fn may free the work). Only the host's workers may wait, in
// their work functions; the library's works themselves never do. Queue and
// flush are called without the library's locks held.
typedef struct KERN_work {
  void (*fn)(struct KERN_work *work);
} KERN_work;
// Workers the host runs (0: none; the library then does its work inline).
uint32_t KERN_work_workers(void);
// Queues the work without waiting, from any context: 0 queued (works are
// taken in the order they were queued, each by whichever worker is free);
// non-zero when the queue is full or there are no workers: the work stays
// the library's, which then does it itself.
int KERN_work_queue(KERN_work *work);
// Waits until every work queued so far has run. Only from the teardown
// entry points below (unbind, filter stop, module unload), which the host
// calls where it may sleep; never from a hook or a work.
void KERN_work_flush(void);

// ---------------------------------------------------------------------------
// Entry points of the network-filter module, called by the host.
//
// Contexts. [atomic]: the host may call it where nothing may sleep (a
// packet hook, a transmit routine, a soft interrupt, a timer); it takes only
// the library's spin locks and never waits, with or without workers, so the
// operations above but KERN_work_flush must not sleep either (they are
// called from these entry points and from the works). [sleeps]: process
// context only, never from an [atomic] entry point or a work; it may wait
// for the works still outstanding (KERN_work_flush).

// Directions of a frame, and the verdicts on it.
enum : uint32_t { KERN_FROM_NETWORK = 0, KERN_FROM_STACK = 1 };
enum : uint32_t {
  KERN_VERDICT_PASS = 0,          // let the frame continue
  KERN_VERDICT_TAKEN = 1,         // the filter took or dropped it
  KERN_VERDICT_NOT_HANDLED = 2,   // deliver it as if unfiltered
};

// Module load [sleeps]: 0 loaded, 1 failed (the host then calls
// Zor_cleanup_module). Unload [sleeps].
uint32_t Zor_init_module(void);
void Zor_cleanup_module(void);
void Zor_DriverUnload(void);

// One frame seen by the host [atomic]: direction KERN_FROM_NETWORK received
// from the network, any other value sent by the local stack. Verdict:
// KERN_VERDICT_*. The buffer stays the host's. A frame from the network
// behind tunnel data still with the workers is copied and taken, and
// reaches the stack in its place if the filter lets it through
// (tunnel_ahead.h). Zor_net_inputoutput also drains the send queues; the Ex
// form only when `flush` is non-zero.
uint32_t Zor_net_inputoutputEx(uint32_t direction, void *netbuf, void *netdev, uint32_t flush);
uint32_t Zor_net_inputoutput(uint32_t direction, void *netbuf, void *netdev);
// Many frames of one direction and device in their order [atomic]:
// verdicts[i] as Zor_net_inputoutput gives it for netbufs[i]; the send
// queues are drained once, after the last. The tunnel's data among them is
// opened side by side; with workers the call copies it for them and returns
// at once (taken). Packets for the tunnel among frames of the stack are
// protected together (tunnel_batch.h). The receive hooks of one device are
// called one at a time.
void Zor_net_inputoutput_batch(uint32_t direction, void **netbufs, uint32_t count, void *netdev,
                               uint32_t *verdicts);
// Drains the send queues [atomic].
void Zor_net_inputoutput_CheckQueue(void);
// The host is done with a buffer it took over through KERN_netbuf_queue_*
// [atomic]; the host frees the buffer itself after this returns.
void Zor_net_inputoutput_complete(void *ignored, void *netbuf, void *netdev);
// The same for many buffers of one device, the filter's lock taken once.
void Zor_net_inputoutput_complete_batch(void **netbufs, uint32_t count, void *netdev);

// The timer [atomic], and the power notifications [atomic].
void Zor_DEV_NetTimerCallback(void);
void Zor_PM_StandByPrepare(void);
void Zor_PM_PostStandBy(void);

// Control requests [atomic]: `buffer` holds u32 total length then the data;
// `length` points at the buffer's length. 0 handled, 1 rejected.
uint32_t Zor_Filter_DRV_IoControl_Function(uint32_t code, uint8_t *buffer, uint32_t *length);

// Adapter notifications [atomic], but unbind [sleeps]: it waits for the
// works of the adapter. `netdev` is the host's device handle (NULL: the
// adapter's record stands for itself). Type 0 Ethernet, 1 no MAC header,
// 2 raw IP, 3 PPP. A bound adapter starts not ready; the host reports the
// link with ChangeUP/ChangeDOWN, also right after binding an adapter that
// is up. The host calls no packet hook for a device while or after it
// unbinds it. Results: 0 done, 1 bad argument or unknown device, 2 no memory.
uint32_t Zor_DEVN_BindAdapter(void *netdev, const char *name, uint32_t type, uint32_t hwaddrlen,
                              const uint8_t *hwaddr, uint32_t mtu);
uint32_t Zor_DEVN_UnBindAdapter(void *netdev);
uint32_t Zor_DEVN_ChangeNameAdapter(void *netdev, const char *name);
uint32_t Zor_DEVN_ChangeAddrAdapter(void *netdev, uint32_t hwaddrlen, const uint8_t *hwaddr);
uint32_t Zor_DEVN_ChangeMtuAdapter(void *netdev, uint32_t mtu);
uint32_t Zor_DEVN_ChangeDOWNAdapter(void *netdev);
uint32_t Zor_DEVN_ChangeUPAdapter(void *netdev);
// The library's record of a host device, NULL when it is not bound [atomic].
void *Zor_NETDEV_getaddinfo(void *netdev);

}  // extern "C"
