#include "kernel/filter/event_queue.h"

#include "kernel/filter/filter_core.h"

extern "C" {
EventQueue ClientCfg;
uint32_t ServiceProcessPID;
}

namespace {

KERN_spinlock_t SendEventSpinLock;


void drop_entry_locked(uint32_t i) {
  uint32_t after = ClientCfg.count - i - 1;
  memmove(&ClientCfg.code[i], &ClientCfg.code[i + 1], after * sizeof ClientCfg.code[0]);
  memmove(&ClientCfg.time[i], &ClientCfg.time[i + 1], after * sizeof ClientCfg.time[0]);
  ClientCfg.count--;
}

uint32_t queued(void) {
  DrvFilterLock(FLT_LOCK_EVENTS);
  uint32_t n = ClientCfg.count;
  DrvFilterUnLock(FLT_LOCK_EVENTS);
  return n;
}

// Rings the registered process; a failed doorbell forgets it and its codes.
void ring(void) {
  if (EVT_SendEvent(ServiceProcessPID) == 0) return;
  ServiceProcessPID = 0;
  DrvRemoveAllEvents();
}

}  // namespace

extern "C" {

void DrvRemoveOldEvents_locked(uint64_t now) {
  for (uint32_t i = 0; i < ClientCfg.count;) {
    if (now - ClientCfg.time[i] > EVT_MAX_AGE_SEC)
      drop_entry_locked(i);
    else
      i++;
  }
}

void DrvSendEvent(uint32_t code) {
  uint64_t now = DEV_GetRequestEventTimeSec();
  DrvFilterLock(FLT_LOCK_EVENTS);
  DrvRemoveOldEvents_locked(now);
  if (code == 0) {
    DrvFilterUnLock(FLT_LOCK_EVENTS);
    return;
  }
  if (ClientCfg.count == EVT_QUEUE_SIZE) drop_entry_locked(0);
  ClientCfg.code[ClientCfg.count] = code;
  ClientCfg.time[ClientCfg.count] = now;
  ClientCfg.count++;
  DrvFilterUnLock(FLT_LOCK_EVENTS);
  ring();
}

uint32_t DrvPopEvent(void) {
  uint64_t now = DEV_GetRequestEventTimeSec();
  DrvFilterLock(FLT_LOCK_EVENTS);
  DrvRemoveOldEvents_locked(now);
  if (ClientCfg.count == 0) {
    DrvFilterUnLock(FLT_LOCK_EVENTS);
    return 0;
  }
  uint32_t code = ClientCfg.code[0];
  drop_entry_locked(0);
  uint32_t remaining = ClientCfg.count;
  DrvFilterUnLock(FLT_LOCK_EVENTS);
  if (remaining) ring();
  return code;
}

void DrvConfirmEvent(void) {
  uint64_t now = DEV_GetRequestEventTimeSec();
  EVT_ClearEvent(ServiceProcessPID);
  DrvFilterLock(FLT_LOCK_EVENTS);
  DrvRemoveOldEvents_locked(now);
  DrvFilterUnLock(FLT_LOCK_EVENTS);
  if (queued()) ring();
}

void DrvRemoveAllEvents(void) {
  DrvFilterLock(FLT_LOCK_EVENTS);
  ClientCfg.count = 0;
  DrvFilterUnLock(FLT_LOCK_EVENTS);
}

void DEV_SetRequestEventCode(uint32_t ring_it) {
  if (ring_it == 1)
    EVT_SendEvent(ServiceProcessPID);
  else
    EVT_ClearEvent(ServiceProcessPID);
}

uint64_t DEV_GetRequestEventTimeSec(void) {
  uint64_t stamp = 0;
  DrvGetCurFtime(&stamp);
  return stamp / 1000000000u;
}

uint32_t EVT_InitEvent(void) {
  KERN_spin_lock_init(&SendEventSpinLock);
  return KERN_RegisterEvent() != 0 ? 1 : 0;
}

void EVT_CloseEvent(void) {
  KERN_DeregisterEvent();
  KERN_spin_lock_free(&SendEventSpinLock);
}

uint32_t EVT_SendEvent(uint32_t pid) {
  KERN_spin_lock_lock(&SendEventSpinLock);
  int r = KERN_SendEvent(pid);
  KERN_spin_lock_unlock(&SendEventSpinLock);
  return r != 0 ? 1 : 0;
}

uint32_t EVT_ClearEvent(uint32_t pid) {
  KERN_spin_lock_lock(&SendEventSpinLock);
  int r = KERN_ClearEvent(pid);
  KERN_spin_lock_unlock(&SendEventSpinLock);
  return r != 0 ? 1 : 0;
}

uint32_t DEV_InitRequestEvent(void) {
  if (EVT_InitEvent() == 0) return 0;
  ServiceProcessPID = 0;
  return 1;
}

void DEV_FreeRequestEvent(void) { EVT_CloseEvent(); }

uint32_t DEV_RegisterDevice(void) {
  DrvFilterLock(FLT_LOCK_EVENTS);
  memset(&ClientCfg, 0, sizeof ClientCfg);
  DrvFilterUnLock(FLT_LOCK_EVENTS);
  return KERN_RegisterDevice(0x20000) != 0 ? 1 : 0;
}

void DEV_DeregisterDevice(void) { KERN_DeregisterDevice(); }

}  // extern "C"
