#include "kernel/filter/filter_core.h"

#include "kernel/filter/adapters.h"
#include "kernel/filter/client_record.h"
#include "kernel/filter/deferred_work.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_random.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/request_dispatcher.h"
#include "kernel/filter/send_queues.h"

extern "C" {

ExtensionRecord *extension_data;
uint32_t CLI_FilterStarted;
uint32_t curtick;   // advanced by the timer under lock 0, read under it
uint8_t *handshakebuf;
uint8_t *compbuf;
uint8_t *compack;
uint8_t *proxypack;
uint8_t *vmeminfo;
uint32_t updsendbufused;
uint32_t auxsendbufused;
alignas(8) uint8_t updsendbuf[FLT_STATIC_SENDBUF_SIZE];
alignas(8) uint8_t auxsendbuf[FLT_STATIC_SENDBUF_SIZE];

}  // extern "C"

namespace {

uint32_t firewall_up;

uint8_t *alloc_buffer(uint32_t size) { return static_cast<uint8_t *>(KERN_kmalloc(size)); }

void free_buffer(uint8_t *&p) {
  KERN_kfree(p);
  p = nullptr;
}

// Frees what start allocated; lock 0 held. Safe on a half-done start.
void release_core(void) {
  if (firewall_up) {
    FIREWALL_Enable(0);
    FIREWALL_DeInitialize();
    firewall_up = 0;
  }
  ClientFreeTlvBuffer();
  free_buffer(handshakebuf);
  free_buffer(compbuf);
  free_buffer(compack);
  free_buffer(proxypack);
  TCPNAT_FreeSessions();
  if (vmeminfo) {
    IPStopPortState(PORT_TERM);
    IPStopPortState(PORT_NET);
    MVInit(nullptr, 0);
    free_buffer(vmeminfo);
  }
  LCFGFreeMemory();
  ClientClearRecord();
}

// The allocations and start-up steps taken under lock 0; 0 when all worked.
uint32_t start_core_locked(void) {
  FilterResetAdapterList();
  if (!(handshakebuf = alloc_buffer(FLT_HANDSHAKE_BUF_SIZE))) return 1;
  if (!(compbuf = alloc_buffer(FLT_COMPBUF_SIZE))) return 1;
  if (!(compack = alloc_buffer(FLT_COMPACK_SIZE))) return 1;
  if (!(proxypack = alloc_buffer(FLT_PROXYPACK_SIZE))) return 1;
  TCPNAT_Init();
  if (FIREWALL_Initialize() != 0) return 1;
  firewall_up = 1;
  FIREWALL_Enable(1);
  ClientSetSessionEndTick(FLT_NO_SESSION_END);
  ClientClearAddressTable();
  AddNewClient(-1, 1);
  if (!(vmeminfo = alloc_buffer(FLT_POOL_HEADER_SIZE + FLT_POOL_ARENA_SIZE))) return 1;
  memset(vmeminfo, 0, FLT_POOL_HEADER_SIZE);
  MVInit(vmeminfo + FLT_POOL_HEADER_SIZE, FLT_POOL_ARENA_SIZE);
  return 0;
}

void restart_ip_state(void) {
  IPStopPortState(PORT_TERM);
  IPStopPortState(PORT_NET);
  IPStartPortState(PORT_TERM);
  IPStartPortState(PORT_NET);
}

// Tunnel work of one tick while connected; lock 0 held.
void tunnel_tick_locked(void) {
  if (ClientGetState() != CLIENT_STATE_CONNECTED) return;
  GuardTreatTimer();
  if (ClientGetSessionEndTick() < curtick) {
    FIREWALL_EnableTcpVpnCloseOnDisconnect(1);
    ClientDisconnect(0);
    DrvSendEvent(DrvSendEvent_RECONNECT_IFNEEDED);
  }
  TCPNAT_TimeoutSessions();
}

}  // namespace

extern "C" {

uint32_t FilterStart(void) {
  if (CLI_FilterStarted) return 1;
  if (FilterSeedRandom() != 0) return 1;
  ClientClearRecord();
  LCFGReadOnStart();

  DrvFilterLock(FLT_LOCK_CORE);
  uint32_t failed = start_core_locked();
  updsendbufused = 0;
  auxsendbufused = 0;
  if (failed)
    release_core();
  else
    restart_ip_state();
  DrvFilterUnLock(FLT_LOCK_CORE);
  if (failed) return 1;
  CLI_FilterStarted = 1;
  return 0;
}

void FilterStop(void) {
  if (!CLI_FilterStarted) return;
  CLI_FilterStarted = 0;
  // Frames still in the queues live in the pool that goes now; the workers
  // finish with theirs first.
  FilterSettleWork();
  QUEUE_ForgetAllFrames();
  DrvFilterLock(FLT_LOCK_CORE);
  release_core();
  FlowWakeAll();
  DrvFilterUnLock(FLT_LOCK_CORE);
}

void FilterTimer(void) {
  if (!CLI_FilterStarted) return;
  // The tick and the tunnel's state are read and written under the core lock
  // (the packet path's deadlines, the tunnel's timers), and so here.
  DrvFilterLock(FLT_LOCK_CORE);
  INC_CURTICK();
  tunnel_tick_locked();
  IPPortTimer(PORT_TERM);
  IPPortTimer(PORT_NET);
  FIREWALL_Timer();
  DrvFilterUnLock(FLT_LOCK_CORE);
}

void INC_CURTICK(void) { curtick++; }

void DrvFilterLock(uint32_t n) {
  if (n < FLT_LOCK_COUNT && extension_data) KERN_spin_lock_lock(&extension_data->filterlocks[n]);
}

void DrvFilterUnLock(uint32_t n) {
  if (n < FLT_LOCK_COUNT && extension_data) KERN_spin_lock_unlock(&extension_data->filterlocks[n]);
}

uint32_t DrvGetCurFtime(uint64_t *out) {
  if (out) {
    KERN_DrvGetCurFtime(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, out);
    return 0;
  }
  // DOS date and time: two-second units in bits 0-4, minutes 5-10, hours
  // 11-15, day 16-20, month 21-24, years since 1980 from bit 25.
  constexpr uint32_t kDosEpochYear = 1980;
  uint32_t sec = 0, min = 0, hour = 0, day = 0, month = 0, year = kDosEpochYear;
  KERN_DrvGetCurFtime(&sec, &min, &hour, &day, &month, &year, nullptr);
  uint32_t years = year >= kDosEpochYear ? year - kDosEpochYear : 0;
  return (sec / 2 & 0x1F) | (min & 0x3F) << 5 | (hour & 0x1F) << 11 | (day & 0x1F) << 16 |
         (month & 0x0F) << 21 | (years & 0x7F) << 25;
}

uint32_t DrvSaveConfig(const void *data, uint32_t length) {
  if (!data || length == 0 || !extension_data) return 0;
  void *copy = KERN_kmalloc(length);
  KERN_spin_lock_lock(&extension_data->cfglock);
  KERN_kfree(extension_data->savedcfg);
  extension_data->savedcfg = copy;
  extension_data->savedcfglen = copy ? length : 0;
  if (copy) memcpy(copy, data, length);
  KERN_spin_lock_unlock(&extension_data->cfglock);
  return 0;
}

int32_t FilterGetInformation(uint32_t code, uint8_t *buffer, uint32_t length) {
  return internal_FilterGetInformation(code, buffer, length, 1);
}

int32_t FilterGetInformation_nolock(uint32_t code, uint8_t *buffer, uint32_t length) {
  return internal_FilterGetInformation(code, buffer, length, 0);
}

uint32_t FilterGetMaxHeaderSize(void) { return 34; }

void CopyStr(char *dst, const char *src, uint32_t size) {
  if (!dst || size == 0) return;
  uint32_t i = 0;
  if (src)
    for (; i + 1 < size && src[i]; i++) dst[i] = src[i];
  memset(dst + i, 0, size - i);
}

void DrvFilterTrace(void) {}

}  // extern "C"
