// The filter's works on the host's workers (KERN_work_queue), counted from
// queueing to the end of their function, so that teardown knows when none
// is left: a work may queue another, which a single KERN_work_flush does not
// wait for.
#pragma once
#include "kern_host.h"

extern "C" {
// Queues the work without waiting: 0 queued, non-zero not (the caller does
// it itself).
uint32_t FilterQueueWork(KERN_work *work);
// The last call of every work function queued through FilterQueueWork.
void FilterWorkDone(void);
// Waits until no queued work is left [sleeps: teardown only].
void FilterSettleWork(void);
}
