#include "tests/host/hook_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kern_host.h"
#include "kernel/filter/filter_core.h"
#include "tests/host/test_host.h"

// The library's own definitions, reached through the linker's wrapping.
extern "C" {
decltype(Zor_net_inputoutputEx) __real_Zor_net_inputoutputEx;
decltype(Zor_net_inputoutput) __real_Zor_net_inputoutput;
decltype(Zor_net_inputoutput_batch) __real_Zor_net_inputoutput_batch;
decltype(Zor_net_inputoutput_CheckQueue) __real_Zor_net_inputoutput_CheckQueue;
decltype(Zor_net_inputoutput_complete) __real_Zor_net_inputoutput_complete;
decltype(Zor_net_inputoutput_complete_batch) __real_Zor_net_inputoutput_complete_batch;
decltype(Zor_DEV_NetTimerCallback) __real_Zor_DEV_NetTimerCallback;
decltype(Zor_PM_StandByPrepare) __real_Zor_PM_StandByPrepare;
decltype(Zor_PM_PostStandBy) __real_Zor_PM_PostStandBy;
decltype(Zor_Filter_DRV_IoControl_Function) __real_Zor_Filter_DRV_IoControl_Function;
decltype(FilterGetInformation) __real_FilterGetInformation;
decltype(Zor_DEVN_BindAdapter) __real_Zor_DEVN_BindAdapter;
decltype(Zor_DEVN_ChangeNameAdapter) __real_Zor_DEVN_ChangeNameAdapter;
decltype(Zor_DEVN_ChangeAddrAdapter) __real_Zor_DEVN_ChangeAddrAdapter;
decltype(Zor_DEVN_ChangeMtuAdapter) __real_Zor_DEVN_ChangeMtuAdapter;
decltype(Zor_DEVN_ChangeDOWNAdapter) __real_Zor_DEVN_ChangeDOWNAdapter;
decltype(Zor_DEVN_ChangeUPAdapter) __real_Zor_DEVN_ChangeUPAdapter;
decltype(KERN_work_flush) __real_KERN_work_flush;
}

namespace testhost {
namespace {

thread_local int hooks_entered = 0;

// Marks the thread inside an entry point for the call's length.
struct InHook {
  InHook() { hooks_entered++; }
  ~InHook() { hooks_entered--; }
};

// The library's works on the workers the run asks for.
class Workers : public ::testing::Environment {
 public:
  void SetUp() override { use_workers(default_workers(), 2); }
  void TearDown() override { use_workers(0, 0); }
};
const ::testing::Environment *const workers =
    ::testing::AddGlobalTestEnvironment(new Workers);

}  // namespace

bool in_hook() { return hooks_entered > 0; }

}  // namespace testhost

using testhost::InHook;

extern "C" {

// A wait inside a hook would stall a kernel's packet path: the test stops.
void __wrap_KERN_work_flush(void) {
  if (testhost::in_hook()) {
    std::fprintf(stderr, "test host: KERN_work_flush called inside a hook\n");
    std::abort();
  }
  __real_KERN_work_flush();
}

uint32_t __wrap_Zor_net_inputoutputEx(uint32_t direction, void *netbuf, void *netdev,
                                      uint32_t flush) {
  InHook mark;
  return __real_Zor_net_inputoutputEx(direction, netbuf, netdev, flush);
}
uint32_t __wrap_Zor_net_inputoutput(uint32_t direction, void *netbuf, void *netdev) {
  InHook mark;
  return __real_Zor_net_inputoutput(direction, netbuf, netdev);
}
void __wrap_Zor_net_inputoutput_batch(uint32_t direction, void **netbufs, uint32_t count,
                                      void *netdev, uint32_t *verdicts) {
  InHook mark;
  __real_Zor_net_inputoutput_batch(direction, netbufs, count, netdev, verdicts);
}
void __wrap_Zor_net_inputoutput_CheckQueue(void) {
  InHook mark;
  __real_Zor_net_inputoutput_CheckQueue();
}
void __wrap_Zor_net_inputoutput_complete(void *ignored, void *netbuf, void *netdev) {
  InHook mark;
  __real_Zor_net_inputoutput_complete(ignored, netbuf, netdev);
}
void __wrap_Zor_net_inputoutput_complete_batch(void **netbufs, uint32_t count, void *netdev) {
  InHook mark;
  __real_Zor_net_inputoutput_complete_batch(netbufs, count, netdev);
}
void __wrap_Zor_DEV_NetTimerCallback(void) {
  InHook mark;
  __real_Zor_DEV_NetTimerCallback();
}
void __wrap_Zor_PM_StandByPrepare(void) {
  InHook mark;
  __real_Zor_PM_StandByPrepare();
}
void __wrap_Zor_PM_PostStandBy(void) {
  InHook mark;
  __real_Zor_PM_PostStandBy();
}
uint32_t __wrap_Zor_Filter_DRV_IoControl_Function(uint32_t code, uint8_t *buffer, uint32_t *length) {
  InHook mark;
  return __real_Zor_Filter_DRV_IoControl_Function(code, buffer, length);
}
int32_t __wrap_FilterGetInformation(uint32_t code, uint8_t *buffer, uint32_t length) {
  InHook mark;
  return __real_FilterGetInformation(code, buffer, length);
}
uint32_t __wrap_Zor_DEVN_BindAdapter(void *netdev, const char *name, uint32_t type,
                                     uint32_t hwaddrlen, const uint8_t *hwaddr, uint32_t mtu) {
  InHook mark;
  return __real_Zor_DEVN_BindAdapter(netdev, name, type, hwaddrlen, hwaddr, mtu);
}
uint32_t __wrap_Zor_DEVN_ChangeNameAdapter(void *netdev, const char *name) {
  InHook mark;
  return __real_Zor_DEVN_ChangeNameAdapter(netdev, name);
}
uint32_t __wrap_Zor_DEVN_ChangeAddrAdapter(void *netdev, uint32_t hwaddrlen, const uint8_t *hwaddr) {
  InHook mark;
  return __real_Zor_DEVN_ChangeAddrAdapter(netdev, hwaddrlen, hwaddr);
}
uint32_t __wrap_Zor_DEVN_ChangeMtuAdapter(void *netdev, uint32_t mtu) {
  InHook mark;
  return __real_Zor_DEVN_ChangeMtuAdapter(netdev, mtu);
}
uint32_t __wrap_Zor_DEVN_ChangeDOWNAdapter(void *netdev) {
  InHook mark;
  return __real_Zor_DEVN_ChangeDOWNAdapter(netdev);
}
uint32_t __wrap_Zor_DEVN_ChangeUPAdapter(void *netdev) {
  InHook mark;
  return __real_Zor_DEVN_ChangeUPAdapter(netdev);
}

}  // extern "C"
