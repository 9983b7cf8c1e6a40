#include "kernel/filter/deferred_work.h"

namespace {
uint32_t outstanding;  // works queued whose function has not ended
}

extern "C" {

uint32_t FilterQueueWork(KERN_work *work) {
  __atomic_add_fetch(&outstanding, 1, __ATOMIC_SEQ_CST);
  if (KERN_work_queue(work) == 0) return 0;
  __atomic_sub_fetch(&outstanding, 1, __ATOMIC_SEQ_CST);
  return 1;
}

void FilterWorkDone(void) { __atomic_sub_fetch(&outstanding, 1, __ATOMIC_SEQ_CST); }

// Each round runs what was queued before it, the workers' after hooks too;
// works queue others only while they have frames to pass on, which teardown
// no longer feeds. A round that starts with none outstanding is the last:
// every work queued ended before it, and it waits for their after hooks.
void FilterSettleWork(void) {
  uint32_t left;
  do {
    left = __atomic_load_n(&outstanding, __ATOMIC_SEQ_CST);
    KERN_work_flush();
  } while (left);
}

}  // extern "C"
