// A reader's gate of flow control: a wait on a closed gate lasts its bound
// when no wake comes, and ends as soon as another thread opens the gate.
#include "host/flow_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using zornfhost::FlowGate;

TEST(FlowGate, AWaitOnAClosedGateEndsAtItsBound) {
  FlowGate gate;
  gate.Close();
  const auto start = std::chrono::steady_clock::now();
  auto waiting = std::async(std::launch::async, [&] {
    gate.WaitOpen(milliseconds(50));
    return std::chrono::steady_clock::now() - start;
  });
  const bool ended = waiting.wait_for(seconds(10)) == std::future_status::ready;
  gate.Open();  // ends a wait that overran its bound
  EXPECT_TRUE(ended) << "a wait bounded at 50 ms went on past 10 s";
  EXPECT_GE(waiting.get(), milliseconds(50)) << "the wait ended early with the gate closed";
}

TEST(FlowGate, OpeningFromAnotherThreadEndsTheWaitAtOnce) {
  FlowGate gate;
  gate.Close();
  EXPECT_TRUE(gate.IsClosed());
  auto waiting = std::async(std::launch::async, [&] { gate.WaitOpen(seconds(30)); });
  std::this_thread::sleep_for(milliseconds(20));  // the waiter is in its wait
  gate.Open();
  EXPECT_FALSE(gate.IsClosed());
  EXPECT_EQ(waiting.wait_for(seconds(10)), std::future_status::ready)
      << "the wait went on after the gate was opened";
}

}  // namespace
