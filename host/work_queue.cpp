#include "host/work_queue.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kern_host.h"

namespace zornfhost {
namespace {

struct Worker {
  unsigned index, depth;
  std::mutex m;
  std::condition_variable more, room;
  std::vector<KERN_work *> ring;
  unsigned head = 0, count = 0;
  bool stop = false;
  std::thread thread;
};

std::vector<std::unique_ptr<Worker>> workers;
WorkerHooks hooks;

// Works queued and works run, for KERN_work_flush.
std::mutex flush_mutex;
std::condition_variable flush_done;
uint64_t works_queued, works_run;

void work_loop(Worker *w) {
  pthread_setname_np(pthread_self(), "zornf-crypto");
  std::unique_lock<std::mutex> lock(w->m);
  for (;;) {
    w->more.wait(lock, [w] { return w->count || w->stop; });
    if (!w->count) return;
    KERN_work *work = w->ring[w->head];
    w->head = (w->head + 1) % w->depth;
    w->count--;
    lock.unlock();
    w->room.notify_one();
    if (hooks.before) hooks.before(w->index);
    work->fn(work);
    if (hooks.after) hooks.after();
    {
      std::lock_guard<std::mutex> hold(flush_mutex);
      works_run++;
    }
    flush_done.notify_all();
    lock.lock();
  }
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

void start_workers(int count, unsigned depth, WorkerHooks with) {
  if (count < 2 || depth == 0) return;
  hooks = with;
  for (int i = 0; i < count; i++) {
    auto w = std::make_unique<Worker>();
    w->index = static_cast<unsigned>(i);
    w->depth = depth;
    w->ring.resize(depth);
    w->thread = std::thread(work_loop, w.get());
    workers.push_back(std::move(w));
  }
}

void stop_workers() {
  for (auto &w : workers) {
    {
      std::lock_guard<std::mutex> hold(w->m);
      w->stop = true;
    }
    w->more.notify_one();
    w->thread.join();
  }
  workers.clear();
}

}  // namespace zornfhost

using namespace zornfhost;

extern "C" {

uint32_t KERN_work_workers(void) { return static_cast<uint32_t>(workers.size()); }

void KERN_work_queue(KERN_work *work, uint32_t lane) {
  if (workers.empty()) {
    work->fn(work);
    return;
  }
  Worker *w = workers[lane % workers.size()].get();
  {
    std::lock_guard<std::mutex> hold(flush_mutex);
    works_queued++;
  }
  std::unique_lock<std::mutex> lock(w->m);
  w->room.wait(lock, [w] { return w->count < w->depth; });
  w->ring[(w->head + w->count) % w->depth] = work;
  w->count++;
  lock.unlock();
  w->more.notify_one();
}

void KERN_work_flush(void) {
  std::unique_lock<std::mutex> lock(flush_mutex);
  const uint64_t target = works_queued;
  flush_done.wait(lock, [target] { return works_run >= target; });
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
