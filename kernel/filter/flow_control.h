// Flow control of the frames the local stack hands over (KERN_netdev_stop,
// KERN_netdev_wake). The pool holds the tunnel's frames while workers
// protect them and while they wait for the host: a stack reader whose frames
// would find it short is stopped, rather than dropping what it hands over,
// while less than a quarter of the pool is free, and woken once half of it
// is free again. Everything here runs under lock 0 and never waits.
#pragma once
#include "kern_host.h"
#include "kernel/filter/filter_core.h"

// Free pool bytes below which the stack's readers are stopped.
constexpr uint32_t FLOW_STOP_BELOW = FLT_POOL_ARENA_SIZE / 4;

// Stack readers stopped at once; one more is not stopped (its frames may be
// dropped, as before).
constexpr uint32_t FLOW_MAX_STOPPED = 16;

extern "C" {
// After a frame the stack of `netdev` handed over: stops that reader when
// the pool is short.
void FlowAfterStackFrame(void *netdev);
// After frames went back to the pool: wakes the stopped readers once there
// is room again.
void FlowPoolFreed(void);
// Wakes every stopped reader (the filter stops) / forgets `netdev` (it is
// being unbound: it is not woken any more).
void FlowWakeAll(void);
void FlowForget(void *netdev);
}
