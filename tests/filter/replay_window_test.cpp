// The replay window against a model of what it promises: a counter is taken
// once, and only while it lies less than the window behind the highest one
// taken; a reset forgets everything. The edges: the last counter still in
// reach, jumps that land on the same bit of a word used before, and a
// counter far above a fresh window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "kernel/filter/replay_window.h"

namespace {

// What the window must answer, kept the long way.
struct Model {
  std::set<uint32_t> taken;
  bool Take(uint32_t c) {
    if (!taken.empty() && c < *taken.rbegin() && *taken.rbegin() - c >= REPLAY_WINDOW_UNITS)
      return false;
    return taken.insert(c).second;
  }
};

TEST(ReplayWindow, RandomTrafficIsTakenAsTheModelSays) {
  std::mt19937 rng(31);
  ReplayWindow w;
  ReplayWindowReset(&w);
  Model m;
  uint32_t next = 0;
  for (int i = 0; i < 200000; i++) {
    uint32_t c;
    switch (rng() % 8) {
      case 0:  // behind the highest, inside the window or just past it
        c = next - std::min<uint32_t>(next, rng() % (REPLAY_WINDOW_UNITS + 200));
        break;
      case 1:  // far ahead: the whole window goes
        c = next += REPLAY_WINDOW_UNITS + rng() % (3 * REPLAY_WINDOW_UNITS);
        break;
      default:  // the next datagram, of 2 to 4,096 units
        c = next += 2 + rng() % 4095;
    }
    ASSERT_EQ(ReplayWindowTake(&w, c), m.Take(c) ? 1u : 0u) << "step " << i << ", counter " << c;
  }
}

TEST(ReplayWindow, Edges) {
  struct Case {
    const char *what;
    std::vector<uint32_t> before;  // taken first, each must be new
    uint32_t counter;
    uint32_t taken;
  };
  const uint32_t top = 5 * REPLAY_WINDOW_UNITS + 17;
  const uint32_t lap = REPLAY_WINDOW_WORDS * 64;  // counters this far apart share a bit
  const Case cases[] = {
      {"the first counter of a fresh window", {}, 0, 1},
      {"a first counter far up", {}, 0xFFFFFFF0u, 1},
      {"in reach below a first counter far up", {0xFFFFFFF0u}, 0xFFFFFFF0u - 5, 1},
      {"the same counter again", {top}, top, 0},
      {"one below the highest", {top}, top - 1, 1},
      {"the last counter in reach", {top}, top - (REPLAY_WINDOW_UNITS - 1), 1},
      {"the first counter out of reach", {top}, top - REPLAY_WINDOW_UNITS, 0},
      {"a taken counter in reach", {top - 100, top}, top - 100, 0},
      {"a taken counter at the end of reach after a jump", {top, top + REPLAY_WINDOW_UNITS - 1},
       top, 0},
      {"a new counter behind the highest on the bit of an old one", {top, top + lap + 1}, top + lap,
       1},
      {"the same, the highest reached in two steps", {top, top + lap / 2, top + lap + 1},
       top + lap, 1},
  };
  for (const Case &c : cases) {
    ReplayWindow w;
    ReplayWindowReset(&w);
    for (uint32_t b : c.before) ASSERT_EQ(ReplayWindowTake(&w, b), 1u) << c.what << ": " << b;
    EXPECT_EQ(ReplayWindowTake(&w, c.counter), c.taken) << c.what;
  }
  ReplayWindow w;
  ReplayWindowReset(&w);
  ASSERT_EQ(ReplayWindowTake(&w, top), 1u);
  ReplayWindowReset(&w);
  EXPECT_EQ(ReplayWindowTake(&w, top), 1u) << "a reset forgets what was taken";
  EXPECT_EQ(ReplayWindowTake(&w, 0), 0u) << "and starts from what comes first";
}

}  // namespace
