// Loading and unloading the network-filter module, the packet hooks and
// their completion, the timer callback and the power notifications.
#include "kernel/filter/module_entry.h"

#include "kernel/filter/adapters.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/tunnel_batch.h"
#include "kernel/filter/tunnel_ahead.h"

extern "C" {
uint32_t FilterStarted;
uint32_t DEV_NetTimerCallback_Started;
}

namespace {

constexpr uint32_t TIMER_PERIOD_MS = 55;

uint32_t create_extension_record(void) {
  auto *ext = static_cast<ExtensionRecord *>(KERN_kmalloc(sizeof(ExtensionRecord)));
  if (!ext) return 1;
  memset(ext, 0, sizeof *ext);
  KERN_spin_lock_init(&ext->adapterlistlock);
  zorInitializeListHead(&ext->adapters);
  for (KERN_spinlock_t &lock : ext->filterlocks) KERN_spin_lock_init(&lock);
  KERN_spin_lock_init(&ext->cfglock);
  GuardSealersInit();
  extension_data = ext;
  return 0;
}

void free_extension_record(void) {
  ExtensionRecord *ext = extension_data;
  if (!ext) return;
  DEVN_FreeAllAdapters();
  KERN_spin_lock_free(&ext->adapterlistlock);
  for (KERN_spinlock_t &lock : ext->filterlocks) KERN_spin_lock_free(&lock);
  KERN_spin_lock_free(&ext->cfglock);
  GuardSealersFree();
  KERN_kfree(ext->savedcfg);
  KERN_kfree(ext);
  extension_data = nullptr;
}

}  // namespace

extern "C" {

uint32_t Zor_DriverEntry(void) {
  if (create_extension_record() != 0) return 1;
  if (!FilterStarted) {
    if (FilterStart() != 0) return 1;
    FilterStarted = 1;
  }
  if (DEV_RegisterDevice() != 0) return 1;
  if (DEV_InitRequestEvent() != 0) return 1;
  DEVN_register_device_notifier();
  PM_register_pm_notifier();
  KERN_net_register_hooks();
  return DEV_InitTimer() != 0 ? 1 : 0;
}

void Zor_DriverUnload(void) {
  DEV_DestroyTimer();
  KERN_net_unregister_hooks();
  PM_unregister_pm_notifier();
  DEVN_unregister_device_notifier();
  DEV_DeregisterDevice();
  DEV_FreeRequestEvent();
  if (FilterStarted) {
    FilterStop();
    FilterStarted = 0;
  }
  free_extension_record();
}

uint32_t Zor_init_module(void) {
  KERN_printk("ZORNFFLT: init_module: Filter driver loading...\n");
  uint32_t r = Zor_DriverEntry();
  KERN_printk("ZORNFFLT: init_module: Filter driver loaded\n");
  return r;
}

void Zor_cleanup_module(void) {
  KERN_printk("ZORNFFLT: cleanup_module: Filter driver unloading...\n");
  Zor_DriverUnload();
  KERN_printk("ZORNFFLT: cleanup_module: Filter driver unloaded\n");
}

uint32_t Zor_net_inputoutputEx(uint32_t direction, void *netbuf, void *netdev, uint32_t flush) {
  uint32_t verdict = KERN_VERDICT_PASS;
  HostAdapter *adapter = netbuf ? DEVN_FindAdapter(netdev) : nullptr;
  uint32_t port = direction == KERN_FROM_NETWORK ? PORT_NET : PORT_TERM;
  if (adapter && port == PORT_NET && CLI_FilterStarted)
    GuardReceiveFrames(adapter, &netbuf, 1, &verdict);
  else if (adapter)
    verdict = DRVF_ForwardLanPacketToFilter(adapter, netbuf, port, 0);
  if (flush) QUEUE_ProcessFltQueueForAllFLT();
  return verdict;
}

uint32_t Zor_net_inputoutput(uint32_t direction, void *netbuf, void *netdev) {
  return Zor_net_inputoutputEx(direction, netbuf, netdev, 1);
}

void Zor_net_inputoutput_batch(uint32_t direction, void **netbufs, uint32_t count, void *netdev,
                               uint32_t *verdicts) {
  if (!netbufs || !verdicts) return;
  HostAdapter *adapter = DEVN_FindAdapter(netdev);
  // Runs of buffers, each in order; a missing buffer, or any of a device
  // that is not bound, passes.
  for (uint32_t first = 0; first < count;) {
    if (!adapter || !netbufs[first]) {
      verdicts[first++] = KERN_VERDICT_PASS;
      continue;
    }
    uint32_t n = 1;
    while (first + n < count && netbufs[first + n]) n++;
    if (direction != KERN_FROM_NETWORK)
      RecvFromStack(&adapter->filter, netbufs + first, n, verdicts + first);
    else if (CLI_FilterStarted)
      GuardReceiveFrames(adapter, netbufs + first, n, verdicts + first);
    else
      for (uint32_t i = first; i < first + n; i++)
        verdicts[i] = DRVF_ForwardLanPacketToFilter(adapter, netbufs[i], PORT_NET, 0);
    first += n;
  }
  QUEUE_ProcessFltQueueForAllFLT();
}

void Zor_net_inputoutput_CheckQueue(void) { QUEUE_ProcessFltQueueForAllFLT(); }

void Zor_net_inputoutput_complete(void *, void *netbuf, void *netdev) {
  HostAdapter *adapter = DEVN_FindAdapter(netdev);
  if (adapter) DRVF_SendRecvLanFilterPacketComplete(adapter, netbuf);
}

void Zor_net_inputoutput_complete_batch(void **netbufs, uint32_t count, void *netdev) {
  HostAdapter *adapter = DEVN_FindAdapter(netdev);
  if (adapter && netbufs) DRVF_SendRecvLanFilterPacketCompleteBatch(adapter, netbufs, count);
}

void Zor_DEV_NetTimerCallback(void) {
  if (DEV_NetTimerCallback_Started) return;
  DEV_NetTimerCallback_Started = 1;
  FilterTimer();
  QUEUE_ProcessFltQueueForAllFLT();
  DEV_NetTimerCallback_Started = 0;
}

void Zor_PM_StandByPrepare(void) {
  DrvRemoveAllEvents();
  DrvSendEvent(EVT_CODE_BEFORE_STANDBY);
}

void Zor_PM_PostStandBy(void) {
  DrvRemoveAllEvents();
  DrvSendEvent(DrvSendEvent_AFTER_STANDBY);
}

uint32_t DEV_InitTimer(void) { return KERN_InitTimer(TIMER_PERIOD_MS) != 0 ? 1 : 0; }
void DEV_DestroyTimer(void) { KERN_DestroyTimer(); }
void DEVN_register_device_notifier(void) { KERN_register_device_notifier(); }
void DEVN_unregister_device_notifier(void) { KERN_unregister_device_notifier(); }
void PM_register_pm_notifier(void) { KERN_register_pm_notifier(); }
void PM_unregister_pm_notifier(void) { KERN_unregister_pm_notifier(); }

}  // extern "C"
