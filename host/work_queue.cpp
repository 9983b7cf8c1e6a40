#include "host/work_queue.h"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "kern_host.h"
#include "pipeline/worker_pool.h"

namespace zornfhost {
namespace {

std::unique_ptr<zor::pipeline::WorkerPool> pool;

void run_work(void *work) {
  auto *w = static_cast<KERN_work *>(work);
  w->fn(w);
}

// The completion behind a library's slot.
struct Completion {
  std::mutex m;
  std::condition_variable cv;
  uint64_t count = 0;
};

Completion *completion_of(KERN_completion_t *done) {
  Completion *c;
  std::memcpy(&c, &done->opaque, sizeof c);
  return c;
}

}  // namespace

void start_workers(int count, unsigned depth, WorkerHooks hooks) {
  if (count < 2 || depth == 0) return;
  const unsigned n = static_cast<unsigned>(count);
  const zor::pipeline::WorkerPoolHooks with{"zornf-crypto", hooks.before, hooks.after};
  pool = std::make_unique<zor::pipeline::WorkerPool>(n, size_t{n} * depth, with);
}

void stop_workers() { pool.reset(); }

}  // namespace zornfhost

using namespace zornfhost;

extern "C" {

uint32_t KERN_work_workers(void) { return pool ? pool->threads() : 0; }

void KERN_work_queue(KERN_work *work) {
  if (!pool) {
    work->fn(work);
    return;
  }
  pool->Submit({run_work, work});
}

void KERN_work_flush(void) {
  if (pool) pool->Flush();
}

void KERN_completion_init(KERN_completion_t *done) {
  auto *c = new Completion;
  std::memcpy(&done->opaque, &c, sizeof c);
}

void KERN_complete(KERN_completion_t *done) {
  Completion *c = completion_of(done);
  {
    std::lock_guard<std::mutex> hold(c->m);
    c->count++;
  }
  c->cv.notify_one();
}

void KERN_wait_for_completion(KERN_completion_t *done) {
  Completion *c = completion_of(done);
  std::unique_lock<std::mutex> lock(c->m);
  c->cv.wait(lock, [c] { return c->count > 0; });
  c->count--;
}

void KERN_completion_free(KERN_completion_t *done) {
  delete completion_of(done);
  done->opaque = 0;
}

}  // extern "C"
