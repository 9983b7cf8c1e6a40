#include "host/work_queue.h"

#include <cstdint>
#include <memory>

#include "kern_host.h"
#include "pipeline/worker_pool.h"

namespace zornfhost {
namespace {

std::unique_ptr<zor::pipeline::WorkerPool> pool;

void run_work(void *work) {
  auto *w = static_cast<KERN_work *>(work);
  w->fn(w);
}

}  // namespace

void start_workers(int count, unsigned depth, WorkerHooks hooks) {
  if (count < 1 || depth == 0) return;
  const unsigned n = static_cast<unsigned>(count);
  const zor::pipeline::WorkerPoolHooks with{"zornf-crypto", hooks.before, hooks.after};
  pool = std::make_unique<zor::pipeline::WorkerPool>(n, size_t{n} * depth, with);
}

void stop_workers() { pool.reset(); }

}  // namespace zornfhost

using namespace zornfhost;

extern "C" {

uint32_t KERN_work_workers(void) { return pool ? pool->threads() : 0; }

int KERN_work_queue(KERN_work *work) { return pool && pool->TrySubmit({run_work, work}) ? 0 : 1; }

void KERN_work_flush(void) {
  if (pool) pool->Flush();
}

}  // extern "C"
