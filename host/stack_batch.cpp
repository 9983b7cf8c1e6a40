#include "host/stack_batch.h"

namespace zornfhost {

void StackBatch::Take(StackQueue &queue, std::chrono::milliseconds bound) {
  count = queue.Take(taken, kStackBatch, kStackBatchBytes, bound);
  for (size_t k = 0; k < count; k++) frames[k] = {taken[k]->bytes(), taken[k]->len};
}

void StackBatch::GiveBack(StackQueue &queue) {
  queue.GiveBack(taken, count);
  count = 0;
}

}  // namespace zornfhost
