// The tunnel's send batches protected on the host's workers: the wire gets
// the bytes and the order of the inline path (a host without workers) for
// any number of workers, with the packet key changing inside a batch, a
// worker that finishes last, full worker queues and key changes from both
// sides while datagrams are still being protected.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_data.h"
#include "tests/host/test_host.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using gwsim::TunnelPeer;
using zor::tunnel::client;

// Waits up to two seconds for cond.
template <class Cond>
bool eventually(Cond cond) {
  for (int i = 0; i < 2000 && !cond(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return cond();
}

class Pipeline : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.Connect(GetParam()));
    OpenWithMss();
    std::mt19937 rng(GetParam() ? 23 : 32);
    // Lengths from below one segment to above the largest frame a stack
    // hands over whole, so batches of every size and the one-by-one path.
    // The first three are one batch each.
    uint32_t seq = 1000;
    for (int i = 0; i < 24; i++) {
      Tcp t = Data(seq);
      t.payload.resize(i < 3 ? 20000 : 1 + rng() % 40000);
      for (auto &b : t.payload) b = (uint8_t)rng();
      seq += (uint32_t)t.payload.size();
      segments.push_back(FromClient(Ip6(), TcpSegment(t)));
    }
    // The packet key changes some datagrams into the run.
    start = {GUARD_KEY_INDEX_UNITS - 700, clientnextpackid};
  }
  void TearDown() override {
    testhost::release_work();
    testhost::use_workers(0, 0);
  }

  static Ip Ip6() {
    Ip ip;
    ip.proto = 6;
    return ip;
  }
  static Tcp Data(uint32_t seq) {
    Tcp t;
    t.seq = seq;
    t.ack = 5000;
    t.flags = TCP_ACK;
    return t;
  }
  // A connection whose handshake announced MSS 1460: its large segments are
  // cut into datagrams.
  void OpenWithMss() {
    Tcp syn = Data(999);
    syn.flags = TCP_SYN;
    syn.options = {2, 4, 0x05, 0xB4};
    ASSERT_EQ(h.FromStack(FromClient(Ip6(), TcpSegment(syn))), 1u);
    h.ToGateway(h.Drain());
    Ip back = Ip6();
    back.src = kCorpIp;
    back.dst = kClientIp;
    Tcp synack;
    synack.sport = 7;
    synack.dport = 40001;
    synack.seq = 4999;
    synack.ack = 1000;
    synack.flags = TCP_SYN | TCP_ACK;
    synack.options = syn.options;
    Bytes inner = Ipv4(back, TcpSegment(synack));
    ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().Wrap(inner.data(), inner.size()))), 1u);
    h.Drain();
  }

  // The send side's counters as a run starts.
  struct Start {
    uint32_t counter;
    uint16_t ip_id;
  };
  void Restore(const Start &s) {
    client.send_counter = s.counter;
    clientnextpackid = s.ip_id;
    guard.send_index = 0;  // the packet key is made again for the counter
  }
  // The frames the segments put on the wire, from the same start.
  std::vector<Bytes> Send(int workers, unsigned depth) {
    testhost::use_workers(workers, depth);
    Restore(start);
    for (const Bytes &f : segments) EXPECT_EQ(h.FromStack(f), 1u);
    return Wire(h.Drain());
  }
  static std::vector<Bytes> Wire(const std::vector<Sent> &sent) {
    std::vector<Bytes> out;
    for (const Sent &s : sent)
      if (s.to_network) out.push_back(s.bytes);
    return out;
  }
  // The first segment alone, its work held on a worker.
  void SendFirstHeld() {
    testhost::hold_next_work();
    ASSERT_EQ(h.FromStack(segments[0]), 1u);
    ASSERT_TRUE(eventually(testhost::work_is_held));
  }
  void ExpectOpensInOrder(const std::vector<Bytes> &wire) {
    std::vector<Sent> sent;
    for (const Bytes &f : wire) sent.push_back({true, f});
    uint32_t seq = 1000;
    for (const TunnelPeer::Result &r : h.ToGateway(sent)) {
      ASSERT_NE(r.kind, TunnelPeer::Kind::kError) << r.error;
      if (r.kind != TunnelPeer::Kind::kData) continue;
      ASSERT_EQ(load_be32(&r.inner[24]), seq) << "the stream's bytes in their order";
      seq += (uint32_t)r.inner.size() - 40;
    }
  }

  Harness h;
  std::vector<Bytes> segments;
  Start start;
};

TEST_P(Pipeline, WorkersPutTheBytesOfTheInlinePathOnTheWire) {
  const std::vector<Bytes> inline_wire = Send(0, 0);
  ASSERT_GT(inline_wire.size(), 200u);
  for (int workers = 1; workers <= 4; workers++)
    for (unsigned depth : {1u, 2u, 8u})
      ASSERT_EQ(Send(workers, depth), inline_wire) << workers << " workers, queues of " << depth;
  ExpectOpensInOrder(inline_wire);
}

TEST_P(Pipeline, AWorkerThatFinishesLastHoldsBackWhatFollows) {
  start.counter = 1000;  // no key change: the first three segments are one work each
  const std::vector<Bytes> inline_wire = Send(0, 0);
  testhost::use_workers(3, 2);
  Restore(start);
  ASSERT_NO_FATAL_FAILURE(SendFirstHeld());
  // The next two works go to the other two workers and finish.
  ASSERT_EQ(h.FromStack(segments[1]), 1u);
  ASSERT_EQ(h.FromStack(segments[2]), 1u);
  ASSERT_TRUE(eventually([] { return testhost::works_done() == 2; }));
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(testhost::state().taken.empty()) << "nothing overtakes the held batch";
  testhost::release_work();
  for (size_t i = 3; i < segments.size(); i++) ASSERT_EQ(h.FromStack(segments[i]), 1u);
  EXPECT_EQ(Wire(h.Drain()), inline_wire);
}

TEST_P(Pipeline, AReaderWaitsForRoomInAFullQueue) {
  const std::vector<Bytes> inline_wire = Send(0, 0);
  testhost::use_workers(2, 1);
  Restore(start);
  ASSERT_NO_FATAL_FAILURE(SendFirstHeld());
  std::atomic<bool> sent{false};
  std::thread reader([&] {
    for (size_t i = 1; i < segments.size(); i++) EXPECT_EQ(h.FromStack(segments[i]), 1u);
    sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(sent) << "the held worker's queue is full: the reader waits";
  testhost::release_work();
  reader.join();
  EXPECT_EQ(Wire(h.Drain()), inline_wire);
}

// While the first batch is still being protected the gateway changes its
// key and the client answers and starts its own change: the
// acknowledgement and the key change leave after that batch, and the data
// sent under the new key after them.
TEST_P(Pipeline, KeyChangesFromBothSidesKeepTheirPlaceBehindDatagramsInWork) {
  testhost::use_workers(4, 2);
  ASSERT_NO_FATAL_FAILURE(SendFirstHeld());
  ASSERT_EQ(h.FromNet(h.GatewayFrame(h.gateway().KeyChange())), 1u);
  h.Tick();
  ASSERT_NE(client.session_flags & GUARD_KEYCHANGE, 0) << "the client changes its key too";
  for (size_t i = 1; i < 4; i++) ASSERT_EQ(h.FromStack(segments[i]), 1u);
  testhost::release_work();
  std::vector<Bytes> wire = Wire(h.Drain());
  std::vector<uint8_t> types;
  for (const Bytes &f : wire) types.push_back(Harness::DatagramOf({true, f})[4] & 15);
  const size_t first_control = std::find_if(types.begin(), types.end(),
                                            [](uint8_t t) { return t != 14; }) - types.begin();
  ASSERT_LT(first_control + 1, types.size());
  EXPECT_GT(first_control, 10u) << "the held batch went first";
  EXPECT_EQ(types[first_control], 8) << "the acknowledgement";
  EXPECT_EQ(types[first_control + 1], 7) << "then the client's key change";
  EXPECT_EQ(std::count(types.begin() + first_control + 2, types.end(), 14),
            (long)types.size() - (long)first_control - 2)
      << "then data only";
  ExpectOpensInOrder(wire);
}

INSTANTIATE_TEST_SUITE_P(Modes, Pipeline, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
}  // namespace pp
