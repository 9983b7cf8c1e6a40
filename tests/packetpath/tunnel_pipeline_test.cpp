// The tunnel's batches on the host's workers against the inline path (a
// host without workers) on the same inputs. Sending: the wire gets the
// bytes and the order of the inline path for any number of workers, with
// the packet key changing inside a batch, a batch protected in place ahead
// of older ones waiting, every worker's sealer held and key changes from
// both sides while datagrams are still being protected; once the stack's
// reader is stopped no batch goes to the workers. Receiving: the local stack
// gets what the inline path delivers, a part that finishes last holds back
// what follows it, later calls and frames that are not the tunnel's keep
// their place among its results, and the network's reader is stopped just
// before a full batch would find no room. No hook waits for a worker: each
// call returns while works are held.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <thread>

#include "kernel/filter/deferred_work.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_ahead.h"
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
    testhost::use_workers(testhost::default_workers(), 2);
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

// The only worker's sealer is held before it took anything, so what the
// reader closes waits for it until the pool runs short; the batch closed
// then is protected in place at once, and still waits behind the older
// ones: the wire is the inline path's.
TEST_P(Pipeline, ABatchProtectedInPlaceWaitsForTheOlderOnes) {
  start.counter = 1000;  // no key change
  segments.clear();      // more than the pool holds while they wait
  for (uint32_t i = 0, seq = 1000; i < 40; i++, seq += 20000) {
    Tcp t = Data(seq);
    t.payload.assign(20000, (uint8_t)i);
    segments.push_back(FromClient(Ip6(), TcpSegment(t)));
  }
  auto drained = [&](size_t from, size_t to) {
    std::vector<Bytes> wire;
    for (size_t i = from; i < to; i++) {
      EXPECT_EQ(h.FromStack(segments[i]), 1u);
      for (Bytes &f : Wire(h.Drain())) wire.push_back(std::move(f));
    }
    return wire;
  };
  testhost::use_workers(0, 0);
  Restore(start);
  const std::vector<Bytes> inline_wire = drained(0, segments.size());
  testhost::use_workers(2, 1);
  Restore(start);
  testhost::hold_next_work();
  testhost::hold_next_work();
  size_t next = 0;
  while (next < segments.size() && MVFreeBytes() >= FLOW_STOP_BELOW)
    ASSERT_EQ(h.FromStack(segments[next++]), 1u);
  ASSERT_LT(next, segments.size()) << "the pool ran short";
  ASSERT_EQ(h.FromStack(segments[next++]), 1u);
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(testhost::state().taken.empty()) << "nothing overtakes the batches waiting";
  testhost::release_work();
  std::vector<Bytes> wire = Wire(h.Drain());
  for (Bytes &f : drained(next, segments.size())) wire.push_back(std::move(f));
  EXPECT_EQ(wire, inline_wire);
}

// 2 MB of segments (about three times the filter's pool) in frames of 60 KB
// through a host that reports what it was handed after each call, as
// zornfhost's reader does, and from a thread of its own, as its workers do.
// The reader never waits for room: with the pool short it protects batches
// itself, and a frame that finds no memory behind work that is slow to
// finish is dropped. What reaches the wire opens at the gateway, in the
// stream's order, and the tunnel carries on.
TEST_P(Pipeline, AReaderShortOfPoolDropsWhatFindsNoRoomAndKeepsTheOrder) {
  start.counter = 1000;
  std::vector<Bytes> stream;
  for (uint32_t i = 0, seq = 1000; i < 36; i++, seq += 60000) {
    Tcp t = Data(seq);
    t.payload.assign(60000, (uint8_t)i);
    stream.push_back(FromClient(Ip6(), TcpSegment(t)));
  }
  auto run = [&](int workers) {
    testhost::use_workers(workers, 2);
    Restore(start);
    std::mutex wire_mutex;
    std::vector<Bytes> wire;
    auto complete = [&] {
      std::lock_guard<std::mutex> hold(wire_mutex);
      std::vector<testhost::Netbuf *> done = testhost::take_handed_over();
      std::vector<void *> bufs;
      for (testhost::Netbuf *nb : done) {
        if (nb->to_network) wire.push_back(nb->bytes);
        bufs.push_back(nb);
      }
      if (!bufs.empty()) Zor_net_inputoutput_complete_batch(bufs.data(), (uint32_t)bufs.size(), &h.dev);
      for (testhost::Netbuf *nb : done) KERN_netbuf_free(nb);
    };
    std::atomic<bool> reading{true};
    std::thread host([&] {
      while (reading) {
        complete();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    for (const Bytes &f : stream) {
      testhost::Netbuf nb = testhost::frame(&h.dev, f);
      EXPECT_EQ(Zor_net_inputoutput(1, &nb, &h.dev), 1u);
      complete();
    }
    FilterSettleWork();
    Zor_net_inputoutput_CheckQueue();
    reading = false;
    host.join();
    complete();
    return wire;
  };
  const std::vector<Bytes> inline_wire = run(0);
  ASSERT_EQ(inline_wire.size(), 36u * 43u) << "the inline path drops nothing here";
  const std::vector<Bytes> wire = run(3);
  ASSERT_FALSE(wire.empty());
  std::vector<Sent> sent;
  for (const Bytes &f : wire) sent.push_back({true, f});
  uint32_t last = 0;
  for (const TunnelPeer::Result &r : h.ToGateway(sent)) {
    ASSERT_EQ(r.kind, TunnelPeer::Kind::kData) << r.error;
    const uint32_t seq = load_be32(&r.inner[24]);
    ASSERT_GT(seq, last) << "the stream's bytes in their order";
    last = seq;
  }
  Restore(start);
  ASSERT_EQ(h.FromStack(segments[0]), 1u);
  EXPECT_FALSE(Wire(h.Drain()).empty()) << "the tunnel carries again";
}

// Both workers' sealers held: the reader goes on without waiting (what it
// closes waits for a sealer, and once the pool runs short it protects
// batches itself); nothing overtakes the held batches, and once they finish
// the wire is the inline path's.
TEST_P(Pipeline, HeldSealersNeverMakeTheReaderWait) {
  start.counter = 1000;  // no key change
  segments.resize(12);   // what waits behind the held batches fits the pool
  const std::vector<Bytes> inline_wire = Send(0, 0);
  testhost::use_workers(2, 1);
  Restore(start);
  testhost::hold_next_work();
  testhost::hold_next_work();
  size_t next = 0;
  for (; next < segments.size() && testhost::works_held() < 2; next++) {
    ASSERT_EQ(h.FromStack(segments[next]), 1u);
    eventually([] { return testhost::works_held() == 2; });
  }
  ASSERT_EQ(testhost::works_held(), 2u) << "both workers hold a sealer";
  std::atomic<size_t> sent{next};
  std::thread reader([&] {
    for (size_t i = next; i < segments.size(); i++, sent++) EXPECT_EQ(h.FromStack(segments[i]), 1u);
  });
  EXPECT_TRUE(eventually([&] { return sent == segments.size(); }))
      << "the reader waited: " << sent << " of " << segments.size() << " segments sent";
  EXPECT_EQ(testhost::works_held(), 2u);
  Zor_net_inputoutput_CheckQueue();
  size_t on_wire = 0;
  for (const testhost::Netbuf *nb : testhost::state().taken) on_wire += nb->to_network;
  EXPECT_EQ(on_wire, 0u) << "nothing overtakes the held batches";
  testhost::release_work();
  reader.join();
  EXPECT_EQ(Wire(h.Drain()), inline_wire);
}

// The first batch held on the one worker while the stack hands over more:
// once the pool is short of its reserve the stack's reader is stopped, and
// from then on no batch is queued as a work behind the held one (each is
// protected in the call that made it), however many more are handed over.
TEST_P(Pipeline, NoBatchGoesToTheWorkersOnceTheStackReaderIsStopped) {
  start.counter = 1000;  // no key change: each segment is one batch
  std::vector<Bytes> stream;
  for (uint32_t i = 0, seq = 1000; i < 80; i++, seq += 20000) {
    Tcp t = Data(seq);
    t.payload.assign(20000, (uint8_t)i);
    stream.push_back(FromClient(Ip6(), TcpSegment(t)));
  }
  // The works run once `more` segments followed the stop.
  auto run = [&](size_t more) {
    testhost::use_workers(1, 64);
    Restore(start);
    const size_t stops = testhost::stops(KERN_FROM_STACK).size();
    testhost::hold_next_work();
    size_t sent = 0;
    for (; sent < stream.size() && testhost::stops(KERN_FROM_STACK).size() == stops; sent++) {
      EXPECT_EQ(h.FromStack(stream[sent]), 1u);
      if (sent == 0) {
        EXPECT_TRUE(eventually(testhost::work_is_held));
      }
    }
    EXPECT_LT(sent, stream.size()) << "never stopped";
    for (size_t end = sent + more; sent < end && sent < stream.size(); sent++)
      EXPECT_EQ(h.FromStack(stream[sent]), 1u);
    testhost::release_work();
    h.Drain();
    return testhost::works_done();
  };
  const uint64_t works = run(0);
  EXPECT_GT(works, 1u);
  EXPECT_EQ(run(20), works) << "batches went to the workers after the stop";
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

// The gateway's datagrams taken in batches of random sizes, opened ahead on
// the workers: the local stack gets what the inline path delivers, with
// tampered and replayed datagrams among them, key changes of the gateway
// (the first sent again after the second, the second sent again, then a
// third) and a new packet key on the way.
class ReceivePipeline : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() { keys = new Harness::Keys(Harness::Keys::Make()); }
  static void TearDownTestSuite() { delete keys; }
  // Held works are let go before the session goes, whose teardown waits for
  // every work: a test that fails while one is held still ends.
  void TearDown() override {
    testhost::release_work();
    session.reset();
    testhost::use_workers(testhost::default_workers(), 2);
  }

  // A fresh session on `workers` workers, in place of the last one.
  Harness &Connected(int workers) {
    session.reset();
    testhost::use_workers(workers, 2);
    session.emplace();
    EXPECT_TRUE(session->Connect(GetParam(), Harness::Stage::kConnected, keys));
    return *session;
  }

  // What the stack gets from the same traffic of a fresh session, the
  // frames handed over in the batch sizes given.
  std::vector<Bytes> Deliver(int workers, const std::vector<uint32_t> &sizes) {
    Harness &h = Connected(workers);
    std::vector<Bytes> frames = Traffic(h);
    std::vector<Bytes> got;
    size_t at = 0;
    for (size_t b = 0; at < frames.size(); b++) {
      size_t n = std::min<size_t>(sizes[b % sizes.size()], frames.size() - at);
      std::vector<Bytes> batch(frames.begin() + at, frames.begin() + at + n);
      at += n;
      for (uint32_t v : h.FromNetBatch(batch)) EXPECT_EQ(v, 1u);
      for (const Sent &s : h.Drain())
        if (!s.to_network) got.push_back(s.bytes);
    }
    return got;
  }
  static std::vector<Bytes> Traffic(Harness &h) {
    std::mt19937 rng(GetParam() ? 5 : 6);
    Ip back;
    back.src = kCorpIp;
    back.dst = kClientIp;
    std::vector<Bytes> frames, changes;
    for (uint32_t i = 0; i < 900; i++) {
      if (i == 300 || i == 500 || i == 800) {
        changes.push_back(h.GatewayFrame(h.gateway().KeyChange()));
        frames.push_back(changes.back());
      }
      if (i == 600) frames.push_back(changes[0]);  // refused: the gateway sends under the second
      if (i == 700) frames.push_back(changes[1]);  // acknowledged again
      Bytes payload(8 + rng() % 1400, (uint8_t)i);
      store_be32(payload.data(), i);
      Bytes inner = Ipv4(back, Udp(9000, 40001, payload));
      Bytes d = h.gateway().Wrap(inner.data(), inner.size());
      if (i % 37 == 5) d[d.size() - 1 - i % 20] ^= 0x10;
      frames.push_back(h.GatewayFrame(d));
      // Good ones sent again: at once, and some datagrams later.
      if (i % 29 == 3) frames.push_back(frames.back());
      if (i % 43 == 9 && frames.size() > 40) frames.push_back(frames[frames.size() - 40]);
    }
    return frames;
  }
  // `count` datagrams of the gateway, each a UDP packet whose payload starts
  // with its number, from `first` on.
  static std::vector<Bytes> Datagrams(Harness &h, uint32_t first, uint32_t count) {
    Ip back;
    back.src = kCorpIp;
    back.dst = kClientIp;
    std::vector<Bytes> frames;
    for (uint32_t n = first; n < first + count; n++) {
      Bytes payload(200, (uint8_t)n);
      store_be32(payload.data(), n);
      Bytes inner = Ipv4(back, Udp(9000, 40001, payload));
      frames.push_back(h.GatewayFrame(h.gateway().Wrap(inner.data(), inner.size())));
    }
    return frames;
  }
  // The number a packet up to the stack carries (Datagrams), -1 for a frame
  // that is not one of them.
  static long NumberOf(const Bytes &up) {
    const size_t at = ETH_HEADER_LEN + IPH_MIN_LEN + UDPH_SIZE;
    return up.size() == at + 200 && load_be16(&up[12]) == 0x0800 ? (long)load_be32(&up[at]) : -1;
  }
  // Completes what the host was handed until `count` frames reached the
  // stack or two seconds passed: those frames, in order. A deliverer hands
  // its rest on to works of its own, so buffers are taken while it may
  // still run.
  static std::vector<Bytes> Up(size_t count) {
    std::vector<Bytes> up;
    eventually([&] {
      Zor_net_inputoutput_CheckQueue();
      for (testhost::Netbuf *nb : testhost::take_handed_over()) {
        if (!nb->to_network) up.push_back(nb->bytes);
        Zor_net_inputoutput_complete(nullptr, nb, nb->netdev);
        KERN_netbuf_free(nb);
      }
      return up.size() >= count;
    });
    return up;
  }

  static Harness::Keys *keys;
  std::optional<Harness> session;
};
Harness::Keys *ReceivePipeline::keys;

TEST_P(ReceivePipeline, WorkersDeliverWhatTheInlinePathDelivers) {
  std::mt19937 rng(9);
  std::vector<uint32_t> sizes;
  for (int i = 0; i < 40; i++) sizes.push_back(1 + rng() % 64);
  const std::vector<Bytes> inline_got = Deliver(0, sizes);
  ASSERT_EQ(inline_got.size(), 900u - 25u) << "all but the tampered ones, each once";
  for (int workers = 1; workers <= 4; workers++)
    EXPECT_EQ(Deliver(workers, sizes), inline_got) << workers << " workers";
}

// One part of each batch held on its worker: the call returns at once with
// every verdict "taken"; while the part is held only what comes before it
// reaches the stack, in order, and not the whole batch; then the batch comes
// out whole and in order.
TEST_P(ReceivePipeline, APartThatFinishesLastHoldsBackWhatFollows) {
  const std::vector<Bytes> inline_got = Deliver(0, {64});
  Harness &h = Connected(3);
  std::vector<Bytes> frames = Traffic(h);
  std::vector<Bytes> got;
  size_t handed = 0, held = 0;
  for (size_t at = 0; at < frames.size(); at += 64) {
    std::vector<Bytes> batch(frames.begin() + at, frames.begin() + std::min(frames.size(), at + 64));
    testhost::hold_next_work();
    for (uint32_t v : h.FromNetBatch(batch)) EXPECT_EQ(v, 1u);
    std::vector<Bytes> before_held;
    // Batches of fewer frames than a part's minimum are opened in the call.
    if (batch.size() >= GUARD_AHEAD_PART_MIN) {
      handed++;
      if (eventually(testhost::work_is_held)) {
        held++;
        Zor_net_inputoutput_CheckQueue();
        for (const testhost::Netbuf *nb : testhost::state().taken)
          if (!nb->to_network) before_held.push_back(nb->bytes);
      }
    }
    testhost::release_work();
    const size_t first = got.size();
    for (const Sent &s : h.Drain())
      if (!s.to_network) got.push_back(s.bytes);
    if (before_held.empty()) continue;
    EXPECT_LT(before_held.size(), got.size() - first) << "batch " << at / 64 << ": nothing held back";
    ASSERT_LE(first + before_held.size(), inline_got.size());
    EXPECT_TRUE(std::equal(before_held.begin(), before_held.end(), inline_got.begin() + first))
        << "batch " << at / 64 << ": a frame overtook the held part";
  }
  EXPECT_EQ(held, handed) << "every batch of a part or more went to the workers";
  EXPECT_GT(handed, 10u);
  EXPECT_EQ(got, inline_got);
}

// Frames that are not the tunnel's among its datagrams: ahead of the first
// datagram, with nothing outstanding, each gets its own verdict at once;
// behind it, with workers, each is taken and reaches the stack in its place
// among the tunnel's results, as the inline path lets it through.
TEST_P(ReceivePipeline, OtherFramesKeepTheirPlaceAmongTheTunnelsResults) {
  const Bytes other = Ether(kClientMac, kGatewayMac, 0x0806, Bytes(28, 0x42));
  auto run = [&](int workers, std::vector<uint32_t> *verdicts) {
    Harness &h = Connected(workers);
    std::vector<Bytes> frames = {other};
    for (uint32_t i = 0; i < 40; i++) {
      if (i == 20) frames.push_back(other);
      Ip back;
      back.src = kCorpIp;
      back.dst = kClientIp;
      Bytes inner = Ipv4(back, Udp(9000, 40001, Bytes(100, (uint8_t)i)));
      frames.push_back(h.GatewayFrame(h.gateway().Wrap(inner.data(), inner.size())));
    }
    *verdicts = h.FromNetBatch(frames);
    std::vector<Bytes> got;
    for (const Sent &s : h.Drain())
      if (!s.to_network) got.push_back(s.bytes);
    return got;
  };
  std::vector<uint32_t> inline_verdicts, verdicts;
  const std::vector<Bytes> inline_got = run(0, &inline_verdicts);
  ASSERT_EQ(inline_got.size(), 40u);
  ASSERT_EQ(inline_verdicts[0], 0u) << "the inline path lets the other frame through";
  ASSERT_EQ(inline_verdicts[21], 0u);
  for (int workers : {1, 4}) {
    std::vector<Bytes> got = run(workers, &verdicts);
    EXPECT_EQ(verdicts[0], 0u) << "ahead of the tunnel's data: its own verdict";
    EXPECT_EQ(std::count(verdicts.begin(), verdicts.end(), 1u), (long)verdicts.size() - 1)
        << "the rest taken";
    std::vector<Bytes> want = inline_got;
    want.insert(want.begin() + 20, other);
    EXPECT_EQ(got, want) << workers << " workers: the other frame between the 20th and 21st result";
  }
}

// A call of one part's datagrams held on its worker: the calls after it,
// with a frame that is not the tunnel's and a call too short to go to the
// workers among them, are all taken, and reach the stack after the first
// call's packets, in the order handed over.
TEST_P(ReceivePipeline, ALaterCallWaitsBehindPartsStillOutstanding) {
  Harness &h = Connected(2);
  const Bytes other = Ether(kClientMac, kGatewayMac, 0x0806, Bytes(28, 0x42));
  testhost::hold_next_work();
  for (uint32_t v : h.FromNetBatch(Datagrams(h, 0, GUARD_AHEAD_PART))) ASSERT_EQ(v, 1u);
  ASSERT_TRUE(eventually(testhost::work_is_held));
  std::vector<Bytes> second = Datagrams(h, GUARD_AHEAD_PART, 2 * GUARD_AHEAD_PART);
  second.insert(second.begin(), other);
  for (uint32_t v : h.FromNetBatch(second)) EXPECT_EQ(v, 1u) << "taken behind the first call";
  for (uint32_t v : h.FromNetBatch(Datagrams(h, 3 * GUARD_AHEAD_PART, GUARD_AHEAD_PART_MIN - 1)))
    EXPECT_EQ(v, 1u) << "a short call taken behind the first call";
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(testhost::state().taken.empty()) << "something reached the stack past the held part";
  testhost::release_work();
  const size_t total = 3 * GUARD_AHEAD_PART + GUARD_AHEAD_PART_MIN;
  std::vector<long> want;
  for (long n = 0; n < (long)total - 1; n++) {
    if (n == GUARD_AHEAD_PART) want.push_back(-1);
    want.push_back(n);
  }
  std::vector<long> got;
  for (const Bytes &f : Up(total)) got.push_back(NumberOf(f) == -1 && f != other ? -2 : NumberOf(f));
  EXPECT_EQ(got, want) << "-1: the frame that is not the tunnel's";
}

// The oldest part held on its worker while the host goes on handing over
// calls of a part's datagrams: the host's reader is stopped before any frame
// finds no room, and woken once the train is delivered. The stop comes
// after the call that leaves too little room for a full batch of 256
// frames, not before: handed one call earlier, such a batch is taken whole.
// Batches handed past the stop until nothing more finds room lose frames,
// each counted as a receive error; everything taken reaches the stack in
// order.
TEST_P(ReceivePipeline, TheNetworkReaderIsStoppedBeforeTheTrainIsFullAndWokenAfter) {
  constexpr uint32_t kFull = 256;
  // Calls of a part's datagrams with the first part held: the calls made
  // when the reader was stopped (at most `limit`) and the datagrams handed.
  auto fill = [&](Harness &h, size_t limit, uint32_t *handed) {
    testhost::hold_next_work();
    size_t calls = 0;
    while (testhost::stops(KERN_FROM_NETWORK).empty() && calls < limit) {
      for (uint32_t v : h.FromNetBatch(Datagrams(h, *handed, GUARD_AHEAD_PART))) EXPECT_EQ(v, 1u);
      *handed += GUARD_AHEAD_PART;
      if (++calls == 1) {
        EXPECT_TRUE(eventually(testhost::work_is_held));
      }
    }
    return calls;
  };
  const uint32_t errors = filterstats.recverr;
  uint32_t handed = 0;
  const size_t to_stop = fill(Connected(2), 64, &handed);
  ASSERT_EQ(testhost::stops(KERN_FROM_NETWORK), std::vector<void *>{&session->dev}) << "never stopped";
  ASSERT_GT(to_stop, 1u);
  EXPECT_EQ(filterstats.recverr, errors) << "frames were dropped before the stop";
  EXPECT_TRUE(testhost::wakes(KERN_FROM_NETWORK).empty());
  testhost::release_work();
  ASSERT_EQ(Up(handed).size(), handed);
  EXPECT_EQ(testhost::wakes(KERN_FROM_NETWORK), std::vector<void *>{&session->dev})
      << "woken once delivered";

  // One call before the stop: a full batch is taken whole.
  handed = 0;
  Harness *h = &Connected(2);
  ASSERT_EQ(fill(*h, to_stop - 1, &handed), to_stop - 1);
  EXPECT_TRUE(testhost::stops(KERN_FROM_NETWORK).empty()) << "stopped a call early";
  for (uint32_t v : h->FromNetBatch(Datagrams(*h, handed, kFull))) EXPECT_EQ(v, 1u);
  handed += kFull;
  EXPECT_EQ(filterstats.recverr, errors) << "a full batch lost frames while the reader was not stopped";
  testhost::release_work();
  std::vector<long> got;
  for (const Bytes &f : Up(handed)) got.push_back(NumberOf(f));
  std::vector<long> all(handed);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(got, all);

  // Past the stop: full batches until one finds no room at all.
  const uint32_t errors_before = filterstats.recverr;
  handed = 0;
  h = &Connected(2);
  ASSERT_EQ(fill(*h, to_stop, &handed), to_stop);
  for (int batch = 0; batch < 16; batch++) {
    const uint32_t before = filterstats.recverr;
    h->FromNetBatch(Datagrams(*h, handed, kFull));
    handed += kFull;
    if (batch == 0) {
      EXPECT_GT(filterstats.recverr, before) << "a full batch fitted after the stop";
    }
    if (filterstats.recverr - before == kFull) break;
  }
  const uint32_t dropped = filterstats.recverr - errors_before;
  EXPECT_GE(dropped, kFull);
  EXPECT_TRUE(testhost::wakes(KERN_FROM_NETWORK).empty());
  testhost::release_work();
  got.clear();
  for (const Bytes &f : Up(handed - dropped)) got.push_back(NumberOf(f));
  EXPECT_EQ(got.size() + dropped, handed) << "the receive errors are not the frames dropped";
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end())) << "the order was lost";
  ASSERT_GE(got.size(), to_stop * GUARD_AHEAD_PART);
  EXPECT_EQ(got[to_stop * GUARD_AHEAD_PART - 1], (long)(to_stop * GUARD_AHEAD_PART - 1))
      << "a frame before the stop was dropped";
  EXPECT_EQ(testhost::wakes(KERN_FROM_NETWORK), std::vector<void *>{&h->dev});
}

INSTANTIATE_TEST_SUITE_P(Modes, ReceivePipeline, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Mgm" : "MacOfb"; });

}  // namespace
}  // namespace pp
