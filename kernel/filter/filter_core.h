// The filter core: module-wide state and its life (start, stop, the timer
// tick), the filter's locks and its two time sources.
#pragma once
#include "kern_host.h"
#include "kernel/filter/filter_list.h"

struct HostAdapter;

// The filter's locks, by DrvFilterLock number. Taken in this order: lock 1,
// then lock 0, then lock 3; a request that changes the tunnel state holds
// lock 0 inside lock 1.
enum FilterLock : uint32_t {
  FLT_LOCK_CORE = 0,      // packet path, timer work, adapter changes, tunnel state
  FLT_LOCK_REQUEST = 1,   // a whole control request
  FLT_LOCK_SPARE = 2,     // never taken
  FLT_LOCK_EVENTS = 3,    // the event queue
  FLT_LOCK_COUNT = 4,
};

// The extension record, allocated by the module entry: the saved
// configuration, the configuration lock, the filter locks, the adapter-list
// lock and the list of host-side adapter records.
struct ExtensionRecord {
  void *savedcfg;
  uint32_t savedcfglen;
  uint32_t reserved;
  KERN_spinlock_t cfglock;
  KERN_spinlock_t filterlocks[FLT_LOCK_COUNT];
  KERN_spinlock_t adapterlistlock;
  ZorListHead adapters;
};
static_assert(sizeof(ExtensionRecord) == 80, "the extension record is 80 bytes");

// Sizes of the buffers the core allocates at start.
constexpr uint32_t FLT_HANDSHAKE_BUF_SIZE = 606;
constexpr uint32_t FLT_COMPBUF_SIZE = 29412;
constexpr uint32_t FLT_COMPACK_SIZE = 65596;
constexpr uint32_t FLT_PROXYPACK_SIZE = 65546;
constexpr uint32_t FLT_POOL_HEADER_SIZE = 152;
constexpr uint32_t FLT_POOL_ARENA_SIZE = 0xC0000;

// Ticks: one timer callback of 55 ms.
constexpr uint32_t FLT_TICKS_PER_SECOND = 18;
// Delay between the tunnel adapter going down and the session's end.
constexpr uint32_t FLT_SESSION_END_DELAY = 2232;
constexpr uint32_t FLT_NO_SESSION_END = 0xFFFFFFFF;
constexpr uint32_t FLT_STATIC_SENDBUF_SIZE = 1600;

extern "C" {
extern ExtensionRecord *extension_data;
extern uint32_t CLI_FilterStarted;
extern uint32_t curtick;  // advanced by the timer under lock 0; every reader holds lock 0
extern uint8_t *handshakebuf;   // frames built inside it are never freed one by one
extern uint8_t *compbuf;        // compression work area, not used by the filter
extern uint8_t *compack;        // tunnel work packet
extern uint8_t *proxypack;      // proxy redirection work packet
extern uint8_t *vmeminfo;       // private memory pool: header + arena
extern uint32_t updsendbufused; // busy flags of the two static send buffers
extern uint32_t auxsendbufused;
extern uint8_t updsendbuf[];    // update answers, FLT_STATIC_SENDBUF_SIZE bytes
extern uint8_t auxsendbuf[];    // auxiliary frames, FLT_STATIC_SENDBUF_SIZE bytes

// 0 success; 1 already started or a failed step (everything undone).
uint32_t FilterStart(void);
void FilterStop(void);
void FilterTimer(void);
void INC_CURTICK(void);

// Takes or releases a filter lock; other numbers, or no extension record:
// nothing. Order: adapter-list lock before the core lock; the request lock
// before the core lock.
void DrvFilterLock(uint32_t n);
void DrvFilterUnLock(uint32_t n);

// NULL: the wall clock as a DOS date-time. Else: stores the host's
// monotonic stamp (ns) at `out`, returns 0.
uint32_t DrvGetCurFtime(uint64_t *out);
uint32_t DrvSaveConfig(const void *data, uint32_t length);
int32_t FilterGetInformation(uint32_t code, uint8_t *buffer, uint32_t length);
int32_t FilterGetInformation_nolock(uint32_t code, uint8_t *buffer, uint32_t length);
uint32_t FilterGetMaxHeaderSize(void);
void CopyStr(char *dst, const char *src, uint32_t size);
void DrvFilterTrace(void);
}
