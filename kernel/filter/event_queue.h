// The event queue to the service: up to 128 event codes, each dropped 60
// seconds after it was raised, announced by a doorbell to the process that
// registered with IOCTL_SETPID.
#pragma once
#include "drv_events.h"
#include "kern_host.h"

constexpr uint32_t EVT_QUEUE_SIZE = 128;
constexpr uint64_t EVT_MAX_AGE_SEC = 60;

// The queue; entry 0 is the oldest. Times are seconds of the host's
// monotonic stamp, which never jumps back.
struct EventQueue {
  uint32_t code[EVT_QUEUE_SIZE];
  uint64_t time[EVT_QUEUE_SIZE];
  uint32_t count;
};

extern "C" {
extern EventQueue ClientCfg;
extern uint32_t ServiceProcessPID;

// Queues `code` (0 only prunes) and rings the doorbell. Callable from every
// context, with or without lock 0.
void DrvSendEvent(uint32_t code);
// The oldest code, or 0; rings again while codes remain.
uint32_t DrvPopEvent(void);
void DrvConfirmEvent(void);
void DrvRemoveAllEvents(void);
void DrvRemoveOldEvents_locked(uint64_t now);

void DEV_SetRequestEventCode(uint32_t ring);
uint64_t DEV_GetRequestEventTimeSec(void);

uint32_t EVT_InitEvent(void);
void EVT_CloseEvent(void);
uint32_t EVT_SendEvent(uint32_t pid);
uint32_t EVT_ClearEvent(uint32_t pid);
uint32_t DEV_InitRequestEvent(void);
void DEV_FreeRequestEvent(void);
uint32_t DEV_RegisterDevice(void);
void DEV_DeregisterDevice(void);
}
