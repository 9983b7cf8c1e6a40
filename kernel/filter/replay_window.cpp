#include "kernel/filter/replay_window.h"

namespace {

uint64_t &word_of(ReplayWindow *w, uint32_t counter) {
  return w->taken[(counter / 64) % REPLAY_WINDOW_WORDS];
}

uint64_t bit_of(uint32_t counter) { return (uint64_t)1 << (counter % 64); }

// Moves the highest counter up to `counter`: the words entered on the way
// are cleared, as they held counters now out of reach.
void advance(ReplayWindow *w, uint32_t counter) {
  uint32_t from = w->top / 64, to = counter / 64;
  if (!w->started || to - from >= REPLAY_WINDOW_WORDS) {
    memset(w->taken, 0, sizeof w->taken);
  } else {
    for (uint32_t i = from + 1; i <= to; i++) w->taken[i % REPLAY_WINDOW_WORDS] = 0;
  }
  w->top = counter;
  w->started = 1;
}

}  // namespace

extern "C" {

void ReplayWindowReset(ReplayWindow *w) { memset(w, 0, sizeof *w); }

uint32_t ReplayWindowTake(ReplayWindow *w, uint32_t counter) {
  if (!w->started || counter > w->top)
    advance(w, counter);
  else if (w->top - counter >= REPLAY_WINDOW_UNITS || (word_of(w, counter) & bit_of(counter)))
    return 0;
  word_of(w, counter) |= bit_of(counter);
  return 1;
}

}  // extern "C"
