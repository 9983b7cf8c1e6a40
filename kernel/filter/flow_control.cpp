#include "kernel/filter/flow_control.h"

#include "kernel/filter/memory_pool.h"

namespace {

constexpr uint32_t kWakeAt = FLT_POOL_ARENA_SIZE / 2;

void *stopped[FLOW_MAX_STOPPED];  // the host devices whose stack readers are stopped
uint32_t stopped_count;

bool is_stopped(void *netdev) {
  for (uint32_t i = 0; i < stopped_count; i++)
    if (stopped[i] == netdev) return true;
  return false;
}

}  // namespace

extern "C" {

void FlowAfterStackFrame(void *netdev) {
  if (MVFreeBytes() >= FLOW_STOP_BELOW || stopped_count == FLOW_MAX_STOPPED || is_stopped(netdev))
    return;
  stopped[stopped_count++] = netdev;
  KERN_netdev_stop(netdev, KERN_FROM_STACK);
}

void FlowPoolFreed(void) {
  if (stopped_count && MVFreeBytes() >= kWakeAt) FlowWakeAll();
}

void FlowWakeAll(void) {
  while (stopped_count) KERN_netdev_wake(stopped[--stopped_count], KERN_FROM_STACK);
}

void FlowForget(void *netdev) {
  for (uint32_t i = 0; i < stopped_count; i++)
    if (stopped[i] == netdev) stopped[i--] = stopped[--stopped_count];
}

}  // extern "C"
