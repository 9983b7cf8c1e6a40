// The workers behind the library's deferred work (KERN_work_queue): a
// WorkerPool (pipeline/worker_pool.h) whose threads take the works
// from one bounded queue, the oldest first; a full queue refuses a work
// rather than wait, and the library then does it inline, as it does with no
// workers. zornfhost and the test host both run the library's
// works here, each with hooks of its own.
#pragma once

namespace zornfhost {

struct WorkerHooks {
  void (*before)(unsigned worker);  // may be null
  void (*after)();                  // after each work; may be null
};

// Starts `count` workers with room for `depth` queued works each (none for
// count 0).
void start_workers(int count, unsigned depth, WorkerHooks hooks);
// Runs what is queued, then stops and joins the workers.
void stop_workers();

}  // namespace zornfhost
