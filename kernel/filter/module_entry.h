// The module frame's registration wrappers, each a plain forward to the host.
#pragma once
#include "kern_host.h"

extern "C" {
extern uint32_t FilterStarted;
extern uint32_t DEV_NetTimerCallback_Started;

uint32_t Zor_DriverEntry(void);
uint32_t DEV_InitTimer(void);
void DEV_DestroyTimer(void);
void DEVN_register_device_notifier(void);
void DEVN_unregister_device_notifier(void);
void PM_register_pm_notifier(void);
void PM_unregister_pm_notifier(void);
}
