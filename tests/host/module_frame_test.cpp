// The filter's module frame run in-process against the small test host:
// load and unload, list primitives, the event queue, the control entry, the
// send queues and completions, and the adapter notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/random.h"
#include "drv_requests.h"
#include "kern_host.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/filter_list.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/send_queues.h"
#include "tests/host/test_host.h"

namespace {

using testhost::state;


uint32_t u32_at(const std::vector<uint8_t> &b, size_t off) {
  uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}

// A request buffer as the host hands it over: u32 total length, then data.
std::vector<uint8_t> request(uint32_t total, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> b(std::max<size_t>(total, 4 + data.size()));
  std::memcpy(b.data(), &total, 4);
  if (!data.empty()) std::memcpy(b.data() + 4, data.data(), data.size());
  return b;
}

uint32_t control(uint32_t code, std::vector<uint8_t> &buf) {
  uint32_t len = static_cast<uint32_t>(buf.size());
  return Zor_Filter_DRV_IoControl_Function(code, buf.data(), &len);
}

// The module loaded on the test host; unloading must give back every byte.
class Loaded : public ::testing::Test {
 protected:
  void SetUp() override {
    testhost::reset();
    ASSERT_EQ(Zor_init_module(), 0u);
    ServiceProcessPID = 4242;
  }
  void TearDown() override {
    Zor_cleanup_module();
    EXPECT_EQ(state().live_allocs, 0) << "memory left after unload";
    EXPECT_EQ(state().live_netbufs, 0) << "host buffers never freed";
  }
};

// ---------------------------------------------------------------------------
TEST(ListPrimitives, EdgeCases) {
  ZorListEntry a{}, b{}, c{}, stranger{};
  ZorListHead h;
  zorInitializeListHead(&h);
  EXPECT_EQ(zorRemoveHeadList(&h), nullptr);

  zorInsertHeadList(&h, &a);  // into an empty list: also the last
  EXPECT_EQ(h.first, &a);
  EXPECT_EQ(h.last, &a);
  zorRemoveEntryList(&h, &a);  // the only entry: both pointers NULL
  EXPECT_EQ(h.first, nullptr);
  EXPECT_EQ(h.last, nullptr);

  for (ZorListEntry *e : {&a, &b, &c}) zorInsertTailList(&h, e);
  zorRemoveEntryList(&h, &stranger);  // not in the list: unchanged
  EXPECT_EQ(h.first, &a);
  EXPECT_EQ(h.last, &c);
  zorRemoveEntryList(&h, &c);  // the last: its predecessor becomes last
  EXPECT_EQ(h.last, &b);
  EXPECT_EQ(b.next, nullptr);
  EXPECT_EQ(zorRemoveHeadList(&h), &a);
  EXPECT_EQ(zorRemoveHeadList(&h), &b);
  EXPECT_EQ(h.last, nullptr) << "the last pointer is cleared when the list empties";

  zorInsertTailList(nullptr, &a);
  zorInsertHeadList(&h, nullptr);
  zorInterlockedInsertTailList(&h, &a, nullptr);  // no lock: nothing
  EXPECT_EQ(h.first, nullptr);
}

// ---------------------------------------------------------------------------
TEST(ModuleLoad, FailedDeviceRegistrationReturnsOneAfterBothLines) {
  testhost::reset();
  state().register_device_result = -1;
  EXPECT_EQ(Zor_init_module(), 1u);
  ASSERT_EQ(state().log.size(), 2u);
  EXPECT_EQ(state().log[0], "ZORNFFLT: init_module: Filter driver loading...\n");
  EXPECT_EQ(state().log[1], "ZORNFFLT: init_module: Filter driver loaded\n");
  Zor_cleanup_module();
  EXPECT_EQ(state().log.back(), "ZORNFFLT: cleanup_module: Filter driver unloaded\n");
  EXPECT_EQ(state().live_allocs, 0);

  state().register_device_result = 0;
  EXPECT_EQ(Zor_init_module(), 0u) << "a reload after a failed load works";
  Zor_cleanup_module();
}

TEST(ModuleLoad, FailedStartIsUndoneAndReloadWorks) {
  // Fail each allocation of the load in turn until the load gets through.
  for (long n = 1;; n++) {
    ASSERT_LT(n, 40) << "the load never succeeded";
    testhost::reset();
    state().fail_alloc_at = n;
    uint32_t r = Zor_init_module();
    Zor_cleanup_module();
    EXPECT_EQ(state().live_allocs, 0) << "allocation " << n << " failing leaks";
    EXPECT_EQ(CLI_FilterStarted, 0u);
    if (r == 0) break;
  }
  testhost::reset();
  ASSERT_EQ(Zor_init_module(), 0u);
  EXPECT_EQ(CLI_FilterStarted, 1u);
  Zor_cleanup_module();
}

TEST(ModuleLoad, HostRandomFailureFailsTheStart) {
  testhost::reset();
  state().random_result = 1;
  EXPECT_EQ(Zor_init_module(), 1u);
  EXPECT_EQ(CLI_FilterStarted, 0u);
  Zor_cleanup_module();
  EXPECT_EQ(state().live_allocs, 0);
}

// The generator's first output after a load, with the clock held still.
std::vector<uint8_t> first_random_after_load(uint8_t host_fill) {
  testhost::reset();
  state().random_fill = host_fill;
  std::vector<uint8_t> out(32);
  EXPECT_EQ(Zor_init_module(), 0u);
  EXPECT_EQ(GetRandomEx(out.data(), 32, 0), 0u);
  Zor_cleanup_module();
  return out;
}

TEST(ModuleLoad, SeedMixesTheHostsRandomBytes) {
  std::vector<uint8_t> a = first_random_after_load(0x11);
  EXPECT_NE(first_random_after_load(0x22), a) << "the host's bytes reach the seed";
  EXPECT_EQ(first_random_after_load(0x11), a) << "same table, stamps and bytes: same seed";
}

TEST_F(Loaded, SecondStartChangesNothing) {
  uint8_t *pool = vmeminfo;
  EXPECT_EQ(FilterStart(), 1u);
  EXPECT_EQ(vmeminfo, pool);
  EXPECT_EQ(state().timers_started, 1);
}

TEST_F(Loaded, TickAdvancesCurtick) {
  uint32_t before = curtick;
  Zor_DEV_NetTimerCallback();
  Zor_DEV_NetTimerCallback();
  EXPECT_EQ(curtick, before + 2);
}

TEST(FilterTime, DosDateTimeAndCopyStr) {
  testhost::reset();
  auto &s = state();
  s.year = 2026, s.month = 10, s.day = 22, s.hour = 15, s.min = 5, s.sec = 32;
  uint32_t t = DrvGetCurFtime(nullptr);
  EXPECT_EQ(t >> 25, 46u);
  EXPECT_EQ(t >> 21 & 0xF, 10u);
  EXPECT_EQ(t >> 16 & 0x1F, 22u);
  EXPECT_EQ(t >> 11 & 0x1F, 15u);
  EXPECT_EQ(t >> 5 & 0x3F, 5u);
  EXPECT_EQ(t & 0x1F, 16u);
  uint64_t stamp = 0;
  EXPECT_EQ(DrvGetCurFtime(&stamp), 0u);
  EXPECT_EQ(stamp, s.mono_ns);

  char out[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  CopyStr(out, "abcdef", 4);
  EXPECT_EQ(std::string(out, 4), std::string("abc\0", 4));
  EXPECT_EQ(out[4], 'x') << "nothing past size";
  CopyStr(out, "abcdef", 1);
  EXPECT_EQ(out[0], 0);
}

// ---------------------------------------------------------------------------
TEST_F(Loaded, QueueKeepsTheNewest128) {
  for (uint32_t code = 1; code <= 129; code++) DrvSendEvent(code);
  EXPECT_EQ(ClientCfg.count, 128u);
  for (uint32_t want = 2; want <= 129; want++) ASSERT_EQ(DrvPopEvent(), want);
  EXPECT_EQ(DrvPopEvent(), 0u);
}

TEST_F(Loaded, CodesOlderThanSixtySecondsAreDropped) {
  DrvSendEvent(DrvSendEvent_RECONNECT_ALWAYS);
  testhost::advance_seconds(30);
  DrvSendEvent(DrvSendEvent_SESSION_TIMEOUT);
  testhost::advance_seconds(31);  // the first is 61 s old, the second 31 s
  EXPECT_EQ(DrvPopEvent(), uint32_t{DrvSendEvent_SESSION_TIMEOUT});
  EXPECT_EQ(DrvPopEvent(), 0u);
}

TEST_F(Loaded, TurnOfTheYearDoesNotAgeEvents) {
  auto &s = state();
  s.year = 2026, s.month = 12, s.day = 31, s.hour = 23, s.min = 59, s.sec = 59;
  DrvSendEvent(DrvSendEvent_RECONNECT_IFNEEDED);
  s.year = 2027, s.month = 1, s.day = 1, s.hour = 0, s.min = 0, s.sec = 1;
  testhost::advance_seconds(2);
  EXPECT_EQ(DrvPopEvent(), uint32_t{DrvSendEvent_RECONNECT_IFNEEDED});
}

TEST_F(Loaded, FailedDoorbellEmptiesTheQueueAndForgetsThePid) {
  DrvSendEvent(DrvSendEvent_STATE_CHANGED);
  state().send_event_result = 1;
  DrvSendEvent(DrvSendEvent_RECONNECT_ALWAYS);
  EXPECT_EQ(ServiceProcessPID, 0u);
  EXPECT_EQ(DrvPopEvent(), 0u);
  state().send_event_result = 0;
  DrvSendEvent(DrvSendEvent_STATE_CHANGED);  // no process registered: dropped
  EXPECT_EQ(DrvPopEvent(), 0u);
}

TEST_F(Loaded, ConfirmAndPopRingWhileCodesRemain) {
  DrvSendEvent(DrvSendEvent_STATE_CHANGED);
  DrvSendEvent(DrvSendEvent_RECONNECT_ALWAYS);
  state().doorbells.clear();
  DrvConfirmEvent();
  EXPECT_EQ(state().clears, 1);
  EXPECT_EQ(state().doorbells, std::vector<uint32_t>{4242});
  EXPECT_EQ(DrvPopEvent(), uint32_t{DrvSendEvent_STATE_CHANGED});
  EXPECT_EQ(state().doorbells.size(), 2u) << "one code left: rings again";
  EXPECT_EQ(DrvPopEvent(), uint32_t{DrvSendEvent_RECONNECT_ALWAYS});
  EXPECT_EQ(state().doorbells.size(), 2u) << "the last pop does not ring";
  DrvConfirmEvent();
  EXPECT_EQ(state().doorbells.size(), 2u) << "nothing queued: no ring";
}

TEST_F(Loaded, PowerEventsReplaceTheQueue) {
  DrvSendEvent(DrvSendEvent_STATE_CHANGED);
  Zor_PM_StandByPrepare();
  Zor_PM_PostStandBy();
  std::vector<uint8_t> buf = request(8);
  EXPECT_EQ(control(IOCTL_GETCODE, buf), 0u);
  EXPECT_EQ(u32_at(buf, 0), 0u);
  EXPECT_EQ(u32_at(buf, 4), uint32_t{DrvSendEvent_AFTER_STANDBY});
  EXPECT_EQ(DrvPopEvent(), 0u);
}

// ---------------------------------------------------------------------------
struct ControlCase {
  const char *what;
  uint32_t code;
  uint32_t word0;        // total length as the request claims it
  uint32_t buffer_len;   // what the buffer really holds
  uint32_t result;
  uint32_t answer_word;  // byte 0 afterwards
};

TEST_F(Loaded, ControlEntryCodesAndLengths) {
  const ControlCase cases[] = {
      {"code 48 rejected, zeroed", 48, 8, 8, 1, 0},
      {"code 52 rejected", 52, 8, 8, 1, 0},
      {"code 57 rejected", 57, 8, 8, 1, 0},
      {"code 63 rejected", 63, 8, 8, 1, 0},
      {"GETCODE on 4 bytes is too short", IOCTL_GETCODE, 8, 4, 1, 8},
      {"SETPID on 7 bytes is too short", IOCTL_SETPID, 64, 7, 1, 64},
      {"GETDRVQUEUES too short", IOCTL_GETDRVQUEUES, 4, 4, 1, 4},
      {"GETDDATALEN answers 0 then 21", IOCTL_GETDDATALEN, 8, 8, 0, 0},
      {"framed request shorter than its header", 0, 27, 27, 0, static_cast<uint32_t>(-2)},
      {"framed request whose claimed length passes the buffer", 3, 18436, 27, 0,
       static_cast<uint32_t>(-2)},
      {"framed request with a wrong magic reaches the dispatcher", 0, 28, 28, 0,
       static_cast<uint32_t>(-1)},
  };
  for (const ControlCase &c : cases) {
    std::vector<uint8_t> buf(c.buffer_len);
    std::memcpy(buf.data(), &c.word0, 4);
    std::vector<uint8_t> exact(buf);  // sized exactly: ASan sees any overrun
    uint32_t len = c.buffer_len;
    EXPECT_EQ(Zor_Filter_DRV_IoControl_Function(c.code, exact.data(), &len), c.result) << c.what;
    EXPECT_EQ(u32_at(exact, 0), c.answer_word) << c.what;
  }
  uint32_t len = 8;
  EXPECT_EQ(Zor_Filter_DRV_IoControl_Function(IOCTL_GETCODE, nullptr, &len), 1u);
  uint8_t one[4] = {};
  EXPECT_EQ(Zor_Filter_DRV_IoControl_Function(IOCTL_GETCODE, one, nullptr), 1u);
  len = 0;
  EXPECT_EQ(Zor_Filter_DRV_IoControl_Function(IOCTL_GETCODE, one, &len), 1u);
}

TEST_F(Loaded, SetPidUsesTheSmallerLength) {
  std::vector<uint8_t> buf = request(8, {0x39, 0x30, 0, 0});
  uint32_t huge = 0xFFFFFFF0;
  std::memcpy(buf.data(), &huge, 4);
  EXPECT_EQ(control(IOCTL_SETPID, buf), 0u);
  EXPECT_EQ(ServiceProcessPID, 12345u);
}

TEST_F(Loaded, AdapterDumpWithoutAdapters) {
  std::vector<uint8_t> buf = request(8);
  EXPECT_EQ(control(IOCTL_GETDDATALEN, buf), 0u);
  EXPECT_EQ(u32_at(buf, 4), 21u);
  buf = request(64);
  EXPECT_EQ(control(IOCTL_GETDDATA, buf), 0u);
  EXPECT_STREQ(reinterpret_cast<char *>(buf.data()), "Binded adapters\n{\n}\n\n");
}

TEST_F(Loaded, SetVpnAdapterComparesNamesWithinTheLength) {
  int dev = 0;
  const uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  ASSERT_EQ(Zor_DEVN_BindAdapter(&dev, "tap0", 0, 6, mac, 1500), 0u);
  Zor_DEVN_ChangeUPAdapter(&dev);
  // "tap0" without a terminator, filling the buffer to its end.
  std::vector<uint8_t> buf = request(8, {'t', 'a', 'p', '0'});
  EXPECT_EQ(control(IOCTL_SETVPNADAPTER, buf), 0u);
  EXPECT_EQ(static_cast<int32_t>(u32_at(buf, 0)), -1) << "not connected: no tunnel adapter";
  EXPECT_EQ(FilterGetVpnAdapter(), nullptr);
  std::vector<uint8_t> check = request(8, {'t', 'a', 'p', '0'});
  EXPECT_EQ(control(IOCTL_CHECKVPNADAPTER, check), 0u);
  EXPECT_EQ(static_cast<int32_t>(u32_at(check, 0)), -1);
}

// ---------------------------------------------------------------------------
// A bound adapter and frames built in the pool as the packet path would.
class Queues : public Loaded {
 protected:
  void SetUp() override {
    Loaded::SetUp();
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    ASSERT_EQ(Zor_DEVN_BindAdapter(&dev, "tap0", 0, 6, mac, 1500), 0u);
    Zor_DEVN_ChangeUPAdapter(&dev);
    adapter = static_cast<HostAdapter *>(Zor_NETDEV_getaddinfo(&dev));
    ASSERT_NE(adapter, nullptr);
    pool_free = MVFreeBytes();
  }
  void TearDown() override {
    complete_all();
    Loaded::TearDown();
  }
  FilterFrame *frame(uint16_t direction, std::vector<uint8_t> bytes) {
    auto *f = static_cast<FilterFrame *>(MVAlloc(sizeof(FilterFrame) + bytes.size()));
    f->adapter = &adapter->filter;
    f->direction = direction;
    f->length = static_cast<uint16_t>(bytes.size());
    f->sealing = 0;
    if (!bytes.empty()) std::memcpy(f->data, bytes.data(), bytes.size());
    return f;
  }
  uint32_t pending() {
    std::vector<uint8_t> buf = request(8);
    EXPECT_EQ(control(IOCTL_GETDRVQUEUES, buf), 0u);
    return u32_at(buf, 4);
  }
  void complete_all() {
    for (testhost::Netbuf *nb : state().taken) {
      Zor_net_inputoutput_complete(nullptr, nb, nb->netdev);
      KERN_netbuf_free(nb);
    }
    state().taken.clear();
  }
  int dev = 0;
  HostAdapter *adapter = nullptr;
  uint32_t pool_free = 0;
};

TEST_F(Queues, FrameIsHandedOverAndFreedOnCompletion) {
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {1, 2, 3, 4})), 0u);
  EXPECT_TRUE(state().taken.empty()) << "nothing is handed over before a drain";
  Zor_net_inputoutput_CheckQueue();
  ASSERT_EQ(state().taken.size(), 1u);
  EXPECT_TRUE(state().taken[0]->to_network);
  EXPECT_EQ(state().taken[0]->bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(pending(), 1u);
  EXPECT_LT(MVFreeBytes(), pool_free);
  complete_all();
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(MVFreeBytes(), pool_free);
}

TEST_F(Queues, HostRefusalFreesAtOnce) {
  state().queue_result = 1;
  ASSERT_EQ(DrvSetFrameToSend(frame(0, {9, 9})), 0u);
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(state().taken.empty());
  EXPECT_EQ(state().live_netbufs, 0) << "the refused host buffer is freed";
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(MVFreeBytes(), pool_free);
}

// The drain hands its frames over many per call, one direction per call,
// in the order they were queued; a refused call frees all it carried.
TEST_F(Queues, FramesGoOverManyPerCallInTheirOrder) {
  const uint16_t dirs[] = {1, 1, 1, 0, 0};
  uint8_t n = 0;
  for (uint16_t d : dirs) ASSERT_EQ(DrvSetFrameToSend(frame(d, {n++})), 0u);
  for (int i = 0; i < 66; i++) ASSERT_EQ(DrvSetFrameToSend(frame(1, {n++})), 0u);
  state().handovers.clear();
  Zor_net_inputoutput_CheckQueue();
  ASSERT_EQ(state().taken.size(), 71u);
  for (size_t i = 0; i < state().taken.size(); i++)
    EXPECT_EQ(state().taken[i]->bytes, (std::vector<uint8_t>{(uint8_t)i})) << i;
  EXPECT_EQ(state().handovers, (std::vector<int>{3, 2, 64, 2}));
  complete_all();

  state().queue_result = 1;
  for (int i = 0; i < 5; i++) ASSERT_EQ(DrvSetFrameToSend(frame(1, {7})), 0u);
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(state().taken.empty());
  EXPECT_EQ(state().live_netbufs, 0) << "the refused host buffers are freed";
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(MVFreeBytes(), pool_free);
}

// A frame still being protected holds back the frames towards the network
// queued after it, never those up to the stack: each direction keeps its
// order, and the stack's frames do not wait for the workers.
TEST_F(Queues, FramesUpToTheStackGoPastFramesBeingProtected) {
  struct Step {
    uint16_t direction;
    uint32_t sealing;
  };
  // Queued in this order: 0 sealed, 1 and 2 waiting for it, 3 and 5 up to
  // the stack, 4 being sealed too, 6 behind both.
  const Step steps[] = {{1, 1}, {1, 0}, {0, 0}, {0, 0}, {1, 1}, {0, 0}, {1, 0}};
  std::vector<FilterFrame *> frames;
  uint8_t n = 0;
  for (const Step &s : steps) {
    FilterFrame *f = frame(s.direction, {n++});
    f->sealing = s.sealing;
    frames.push_back(f);
    ASSERT_EQ(DrvSetFrameToSend(f), 0u);
  }
  auto taken = [&] {
    std::vector<uint8_t> out;
    for (testhost::Netbuf *nb : state().taken) out.push_back(nb->bytes[0]);
    return out;
  };
  Zor_net_inputoutput_CheckQueue();
  EXPECT_EQ(taken(), (std::vector<uint8_t>{2, 3, 5}));
  DrvFramesSealed(&frames[4], 1, 1);
  EXPECT_EQ(taken(), (std::vector<uint8_t>{2, 3, 5})) << "frame 4 waits behind frame 0";
  DrvFramesSealed(&frames[0], 1, 1);
  EXPECT_EQ(taken(), (std::vector<uint8_t>{2, 3, 5, 0, 1, 4, 6}));
  // The count of frames up to the stack went back to none: a later frame
  // towards the network behind one being sealed waits, and nothing is lost.
  FilterFrame *held = frame(1, {7});
  held->sealing = 1;
  ASSERT_EQ(DrvSetFrameToSend(held), 0u);
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {8})), 0u);
  ASSERT_EQ(DrvSetFrameToSend(frame(0, {9})), 0u);
  Zor_net_inputoutput_CheckQueue();
  EXPECT_EQ(taken().back(), 9);
  DrvFramesSealed(&held, 1, 1);
  EXPECT_EQ(taken(), (std::vector<uint8_t>{2, 3, 5, 0, 1, 4, 6, 9, 7, 8}));
}

TEST_F(Queues, EmptyFrameIsNeverHandedOver) {
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {})), 0u);
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(state().taken.empty());
  EXPECT_EQ(MVFreeBytes(), pool_free);
}

TEST_F(Queues, UnknownBufferCompletionChangesNothing) {
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {7})), 0u);
  Zor_net_inputoutput_CheckQueue();
  testhost::Netbuf stranger = testhost::frame(&dev, {7});
  Zor_net_inputoutput_complete(nullptr, &stranger, &dev);
  EXPECT_EQ(pending(), 1u);
  int other = 0;
  Zor_net_inputoutput_complete(nullptr, state().taken[0], &other);  // unknown device
  EXPECT_EQ(pending(), 1u);
}

// Completions reported many at once free every frame they name, whatever
// else is among them.
TEST_F(Queues, CompletionsReportedTogetherFreeTheirFrames) {
  for (uint8_t i = 0; i < 70; i++) ASSERT_EQ(DrvSetFrameToSend(frame(i % 2, {i})), 0u);
  Zor_net_inputoutput_CheckQueue();
  ASSERT_EQ(state().taken.size(), 70u);
  testhost::Netbuf stranger = testhost::frame(&dev, {7});
  std::vector<void *> done(state().taken.begin(), state().taken.end());
  done.insert(done.begin() + 30, &stranger);
  done.insert(done.begin() + 5, nullptr);
  int other = 0;
  Zor_net_inputoutput_complete_batch(done.data(), 10, &other);  // unknown device
  EXPECT_EQ(pending(), 70u);
  Zor_net_inputoutput_complete_batch(done.data(), static_cast<uint32_t>(done.size()), &dev);
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(MVFreeBytes(), pool_free);
  for (testhost::Netbuf *nb : state().taken) KERN_netbuf_free(nb);
  state().taken.clear();
}

TEST_F(Queues, HookWithoutFlushLeavesFramesQueued) {
  ASSERT_EQ(DrvSetFrameToSend(frame(0, {5})), 0u);
  // An ARP request of the local stack: it passes while no tunnel is up.
  std::vector<uint8_t> arp(42, 0);
  arp[12] = 0x08;
  arp[13] = 0x06;
  testhost::Netbuf nb = testhost::frame(&dev, arp);
  EXPECT_EQ(Zor_net_inputoutputEx(1, &nb, &dev, 0), 0u);
  EXPECT_TRUE(state().taken.empty());
  EXPECT_EQ(Zor_net_inputoutput(1, &nb, &dev), 0u);
  EXPECT_EQ(state().taken.size(), 1u);
  EXPECT_FALSE(state().taken[0]->to_network);
}

TEST_F(Queues, UnboundDeviceGetsVerdictZero) {
  int other = 0;
  testhost::Netbuf nb = testhost::frame(&other, {1, 2, 3});
  EXPECT_EQ(Zor_net_inputoutput(0, &nb, &other), 0u);
  EXPECT_EQ(Zor_net_inputoutput(0, nullptr, &dev), 0u);
}

TEST_F(Queues, HandshakeBufferFramesAreNotFreed) {
  auto *f = reinterpret_cast<FilterFrame *>(handshakebuf);
  f->adapter = &adapter->filter;
  f->direction = 1;
  f->length = 3;
  ASSERT_EQ(DrvSetFrameToSend(f), 0u);
  Zor_net_inputoutput_CheckQueue();
  complete_all();
  EXPECT_EQ(MVFreeBytes(), pool_free);
}

TEST_F(Queues, CompletionAfterStopTouchesNoFreedFrame) {
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {1, 2, 3})), 0u);
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {4, 5, 6})), 0u);
  Zor_net_inputoutput_CheckQueue();
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {7})), 0u);  // still waiting in the list
  FilterStop();
  ASSERT_EQ(FilterStart(), 0u);
  uint32_t fresh = MVFreeBytes();
  complete_all();  // completions of frames of the old pool
  Zor_net_inputoutput_CheckQueue();
  EXPECT_TRUE(state().taken.empty()) << "frames of the stopped filter are not sent";
  EXPECT_EQ(MVFreeBytes(), fresh) << "the new pool is untouched";
  EXPECT_EQ(pending(), 0u);
}

TEST_F(Queues, UnbindGivesBackFramesStillHeld) {
  ASSERT_EQ(DrvSetFrameToSend(frame(1, {1, 2})), 0u);
  Zor_net_inputoutput_CheckQueue();                   // handed over
  ASSERT_EQ(DrvSetFrameToSend(frame(0, {3})), 0u);  // still waiting
  ASSERT_EQ(Zor_DEVN_UnBindAdapter(&dev), 0u);
  EXPECT_EQ(MVFreeBytes(), pool_free);
  complete_all();  // the host's late reports for a device that is gone
  EXPECT_EQ(MVFreeBytes(), pool_free);
}

// The stack's readers of two adapters stopped while the pool is short, and
// one adapter unbound: once the pool has room again only the other is
// woken, never the device that is gone.
TEST_F(Queues, AnAdapterUnboundWhileItsReaderIsStoppedIsNotWokenAfter) {
  int gone = 0;
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x66};
  ASSERT_EQ(Zor_DEVN_BindAdapter(&gone, "tap1", 0, 6, mac, 1500), 0u);
  Zor_DEVN_ChangeUPAdapter(&gone);
  while (MVFreeBytes() >= FLOW_STOP_BELOW)
    ASSERT_EQ(DrvSetFrameToSend(frame(1, std::vector<uint8_t>(1500, 7))), 0u);
  std::vector<uint8_t> arp(42, 0);  // passes while no tunnel is up
  arp[12] = 0x08;
  arp[13] = 0x06;
  for (int *d : {&gone, &dev}) {
    testhost::Netbuf nb = testhost::frame(d, arp);
    EXPECT_EQ(Zor_net_inputoutputEx(1, &nb, d, 0), 0u);
  }
  ASSERT_EQ(testhost::stops(KERN_FROM_STACK), (std::vector<void *>{&gone, &dev}));
  ASSERT_EQ(Zor_DEVN_UnBindAdapter(&gone), 0u);
  Zor_net_inputoutput_CheckQueue();
  complete_all();
  EXPECT_EQ(MVFreeBytes(), pool_free);
  EXPECT_EQ(testhost::wakes(KERN_FROM_STACK), std::vector<void *>{&dev});
}

// ---------------------------------------------------------------------------
TEST_F(Loaded, AdapterNotificationsAndDump) {
  int eth = 0, raw = 0, ppp = 0;
  const uint8_t mac[6] = {0x02, 0xAB, 0x00, 0x00, 0x00, 0x01};
  ASSERT_EQ(Zor_DEVN_BindAdapter(&eth, "tap0", 0, 6, mac, 1400), 0u);
  ASSERT_EQ(Zor_DEVN_BindAdapter(&raw, "tun1", 2, 0, nullptr, 14), 0u);
  ASSERT_EQ(Zor_DEVN_BindAdapter(&ppp, "ppp0", 3, 0, nullptr, 1500), 0u);
  EXPECT_EQ(Zor_DEVN_BindAdapter(&eth, "again", 0, 6, mac, 1500), 1u) << "bound twice";
  EXPECT_EQ(Zor_DEVN_BindAdapter(&eth, nullptr, 9, 0, nullptr, 0), 1u);
  EXPECT_EQ(FilterAdapterCount(), 3u);

  auto *r = static_cast<HostAdapter *>(Zor_NETDEV_getaddinfo(&raw));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(r->filter.hardaddr), 6), "EIPMAC");
  EXPECT_EQ(r->filter.maxframelen, 1514u) << "an MTU of 14 or less counts as 1514";
  auto *p = static_cast<HostAdapter *>(Zor_NETDEV_getaddinfo(&ppp));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(p->filter.hardaddr), 6), "PPPMAC");

  auto *e = static_cast<HostAdapter *>(Zor_NETDEV_getaddinfo(&eth));
  EXPECT_EQ(e->filter.filterstate, ADAPTER_NOT_READY);
  Zor_DEVN_ChangeUPAdapter(&eth);
  EXPECT_EQ(e->filter.filterstate, ADAPTER_READY);
  Zor_DEVN_ChangeDOWNAdapter(&eth);
  EXPECT_EQ(e->filter.filterstate, ADAPTER_NOT_READY);
  Zor_DEVN_ChangeMtuAdapter(&eth, 1500);
  EXPECT_EQ(e->filter.maxframelen, 1514u);
  Zor_DEVN_ChangeNameAdapter(&eth, "tap7");
  EXPECT_STREQ(e->filter.name, "tap7");

  Zor_DEVN_UnBindAdapter(&raw);
  Zor_DEVN_UnBindAdapter(&ppp);
  std::vector<uint8_t> buf = request(1024);
  ASSERT_EQ(control(IOCTL_GETDDATA, buf), 0u);
  const std::string want =
      "Binded adapters\n{"
      "\n Adapter\n {"
      "\n  ad_name: tap7"
      "\n  ad_descr: tap0"
      "\n  ad_type: 0"
      "\n  ad_filterstate: 1"
      "\n  ad_maxframelen: 1514"
      "\n  ad_hardaddrlen: 6"
      "\n  ad_hardaddr: 02 AB 00 00 00 01 "
      "\n  MTU: 1500"
      "\n  Accepted: 1"
      "\n }"
      "\n}\n\n";
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf.data())), want);
  std::vector<uint8_t> len = request(8);
  ASSERT_EQ(control(IOCTL_GETDDATALEN, len), 0u);
  EXPECT_EQ(u32_at(len, 4), want.size());

  // A buffer too small for the dump: cut, terminated, nothing written past it.
  std::vector<uint8_t> small = request(40);
  ASSERT_EQ(control(IOCTL_GETDDATA, small), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(small.data())), want.substr(0, 39));
  EXPECT_EQ(Zor_DEVN_UnBindAdapter(&raw), 1u) << "already unbound";
}

}  // namespace
