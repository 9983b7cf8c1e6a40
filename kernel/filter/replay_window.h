// The counters of the datagrams taken from the gateway under one receive
// key, so that none is taken twice: a datagram whose counter was taken
// already, or that lies a whole window or more behind the highest counter
// taken, is refused. Counters are the sender's, in the 16-byte units it
// advances by per datagram (at least 2, at most 4,096 per datagram); under
// one key they only grow, as a key change comes long before they could run
// round. State is passed explicitly; the caller keeps it under lock 0.
#pragma once
#include "kern_host.h"

// How far behind the highest counter a datagram is still taken: 512 KiB of
// the gateway's traffic, which covers the reordering a real path gives
// (about 350 datagrams of a 1,500-byte MTU, and many more small ones) and
// costs 4 KiB of state.
constexpr uint32_t REPLAY_WINDOW_UNITS = 32768;
// One bit per unit; the word the highest counter lies in is one more.
constexpr uint32_t REPLAY_WINDOW_WORDS = REPLAY_WINDOW_UNITS / 64 + 1;
static_assert(REPLAY_WINDOW_UNITS % 64 == 0, "the window is whole words");

struct ReplayWindow {
  uint32_t top;      // the highest counter taken, when any
  uint32_t started;  // 1 once a counter was taken
  uint64_t taken[REPLAY_WINDOW_WORDS];  // bit c % 64 of word (c / 64) % WORDS: c taken
};

extern "C" {
// Forgets every counter taken (a new session or receive key).
void ReplayWindowReset(ReplayWindow *w);
// 1 when the counter is new and not too old, which takes it; else 0.
uint32_t ReplayWindowTake(ReplayWindow *w, uint32_t counter);
}
