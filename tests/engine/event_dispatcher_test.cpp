// OnDriverEvent against a scripted filter: what each event code makes the
// engine ask, push and change, with the pushes caught at the engine's hooks.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <chrono>
#include <thread>

#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/event_dispatcher.h"
#include "Service/common/engine/filter_watch.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/registry.h"
#include "cross/utils/service_hooks.h"
#include "kernel/include/drv_requests.h"
#include "tests/engine/engine_fixture.h"

namespace enginetest {
namespace {

struct Push {
  uint32_t code;
  int32_t clientN;
  uint32_t result, value1, value2;
  int target;  // -2 for "all clients"
};
std::mutex g_pushLock;
std::vector<Push> g_pushes;

void record(ServicePipeMessage_t* m, int target) {
  std::lock_guard<std::mutex> lock(g_pushLock);
  g_pushes.push_back({m->code, m->clientN, m->result, m->value1, m->value2, target});
}

class DispatcherTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    g_pushes.clear();
    Engine_SetHooks({nullptr, nullptr, nullptr, nullptr, [](ServicePipeMessage_t* m, int c) { record(m, c); },
                     [](ServicePipeMessage_t* m) { record(m, -2); }});
    Engine_InstallDisconnectHandler();
    OnDriverEvent_StandbySleepMs = 1;
    // The scripted filter answers every request it knows, but its thread may
    // answer late on a loaded machine: a request given up at the fixture's
    // short time-out leaves its late reply to be taken for the next one's.
    SendIRP_ReplyTimeoutMs = 10000;
    // A state change flushes the DNS cache: not this machine's.
    Registry_RegSetValueLongIntHex(installDir, "FlushDNS", 0);
    setState(7);
    filter.areas[RQC_DISCONNECT] = FramedArea(0, 0, {});
  }
  void TearDown() override {
    Engine_SetHooks(Engine_StandingHooks());
    IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
    EngineTest::TearDown();
  }
  // The state RQC_GETINFO reports.
  void setState(uint8_t s) { filter.areas[RQC_GETINFO] = FramedArea(s, 0, Bytes(88, 0)); }
  void queue(uint32_t code) {
    Bytes a(8, 0);
    Put32(a, 4, code);
    filter.areas[IOCTL_GETCODE] = a;
  }
  std::vector<Push> pushes() {
    std::lock_guard<std::mutex> lock(g_pushLock);
    return g_pushes;
  }
};

TEST_F(DispatcherTest, NoEventPushesNothing) {
  queue(0);
  OnDriverEvent(0);
  EXPECT_TRUE(pushes().empty());
  EXPECT_NE(LogText().find("ZorVpnEvent: NO_EVENT"), std::string::npos);
}

TEST_F(DispatcherTest, StateChangeIsAnnouncedOncePerState) {
  queue(DrvSendEvent_STATE_CHANGED);
  OnDriverEvent(0);
  OnDriverEvent(0);
  auto p = pushes();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, MSG_STATE_CHANGED);
  EXPECT_EQ(p[0].result, 7u);
  EXPECT_EQ(p[0].value2, STATE_MSG_CHANGED);
  EXPECT_EQ(p[0].target, -1);
  EXPECT_EQ(g_notified_filterState.load(), 7u);
}

TEST_F(DispatcherTest, ReconnectDisconnectsAndTellsTheOwnerUnlessARequestRuns) {
  g_TunnelOwnerClientN = 3;
  queue(DrvSendEvent_RECONNECT_ALWAYS);
  {
    std::lock_guard<std::mutex> busy(mtx_connecting_vesk);
    std::thread([] { OnDriverEvent(0); }).join();
  }
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
  EXPECT_TRUE(pushes().empty());
  EXPECT_EQ(g_TunnelOwnerClientN.load(), 3);

  setState(0);
  queue(DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED);
  OnDriverEvent(0);
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
  auto p = pushes();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].code, MSG_STATE_CHANGED);
  EXPECT_EQ(p[0].value2, STATE_MSG_RECONNECT);
  EXPECT_EQ(p[0].target, 3) << "the owner before the disconnect";
  // The other clients hear of it as of a user's disconnect.
  EXPECT_EQ(p[1].code, MSG_STATE_CHANGED);
  EXPECT_EQ(p[1].result, 0u);
  EXPECT_EQ(p[1].value2, STATE_MSG_CHANGED);
  EXPECT_EQ(p[1].clientN, 3) << "the owner is skipped";
  EXPECT_EQ(p[1].target, -2);
  EXPECT_NE(LogText().find("Signal from drv DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED (KCR: 0)"),
            std::string::npos);
  EXPECT_NE(LogText().find("Driver requested reconnect"), std::string::npos);
}

TEST_F(DispatcherTest, SessionEndsTellTheOwnerAndLeaveNoOwner) {
  const struct {
    uint32_t event, subcode;
  } cases[] = {{DrvSendEvent_SESSION_TIMEOUT, SESSION_END_TIMEOUT}, {DrvSendEvent_RADMTERMINATE, SESSION_END_RADIUS}};
  for (auto c : cases) {
    g_pushes.clear();
    g_TunnelOwnerClientN = 2;
    setState(0);
    queue(c.event);
    OnDriverEvent(0);
    auto p = pushes();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].code, MSG_SESSION_END);
    EXPECT_EQ(p[0].value1, c.subcode);
    EXPECT_EQ(g_TunnelOwnerClientN.load(), -1);
  }
}

TEST_F(DispatcherTest, AfterStandbyReconnectsOrCleansUpByTheLastAttempt) {
  const struct {
    uint32_t prev;
    const char* reason;
    uint32_t sub;
  } cases[] = {{7, "Driver after-standby reconnect", STATE_MSG_STANDBY_RECONNECT},
               {3, "Driver after-standby cleanup", STATE_MSG_STANDBY_CLEANUP}};
  for (auto c : cases) {
    g_pushes.clear();
    filterStatePrev = c.prev;
    UseServiceAlternalVESKIP = 1;
    queue(DrvSendEvent_AFTER_STANDBY);
    OnDriverEvent(0);
    auto p = pushes();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].target, -2);
    EXPECT_EQ(p[0].clientN, -1);
    EXPECT_EQ(p[0].value1, 1u);
    EXPECT_EQ(p[0].value2, c.sub);
    EXPECT_NE(LogText().find(c.reason), std::string::npos);
  }
}

TEST_F(DispatcherTest, AccessLevelGoesToTheOwner) {
  filter.areas[RQC_GETACCESSLEVEL] = FramedArea(7, 0, {4, 1, 0, 0, 0});
  OnDriverEvent(DrvSendEvent_GOT_ACCESS_LEVEL);
  auto p = pushes();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, MSG_ACCESS_LEVEL);
  EXPECT_EQ(p[0].result, 0u);
  EXPECT_EQ(p[0].value1, 4u);
  EXPECT_EQ(p[0].value2, 1u);
}

TEST_F(DispatcherTest, UnnamedCodesOnlyLog) {
  for (int32_t code : {2, 5, 7, 8, 18, 2005}) OnDriverEvent(code);
  EXPECT_TRUE(pushes().empty());
  EXPECT_EQ(peer.total_requests(), 0);
  EXPECT_NE(LogText().find("Signal from drv <unknown>"), std::string::npos);
}

// The filter watch, probing at once on every tick.
class FilterWatchTest : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    FilterWatch_PeriodMs = 1;
    FilterWatch_Reset();
    filterState = CS_CONNECT;
    g_notified_filterState = CS_CONNECT;
    g_TunnelOwnerClientN = 3;
    filter.areas[IOCTL_SETPID] = Bytes(8, 0);
  }
  void TearDown() override {
    FilterWatch_PeriodMs = 2000;
    g_TunnelOwnerClientN = -1;
    DispatcherTest::TearDown();
  }
  void tick() {
    std::this_thread::sleep_for(std::chrono::milliseconds(6));  // past the period, also the longer one
    FilterWatch_Tick(kPort);
  }
  static constexpr uint32_t kPort = 0x40000123;
};

TEST_F(FilterWatchTest, AFilterThatAnswersGetsTheListenersPortAgainEachTime) {
  tick();
  tick();
  EXPECT_EQ(peer.requests(IOCTL_SETPID), 2);
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
  EXPECT_TRUE(pushes().empty());
  EXPECT_EQ(filterState, static_cast<uint32_t>(CS_CONNECT));
}

TEST_F(FilterWatchTest, AFilterGoneEndsTheTunnelOnceAndTellsEveryClient) {
  SendIRP_ReplyTimeoutMs = 300;  // each request to the filter ends at its time-out
  filter.areas.erase(RQC_GETINFO);  // no answer: the channel fails
  filter.areas.erase(RQC_DISCONNECT);
  tick();
  tick();
  EXPECT_EQ(filterState, static_cast<uint32_t>(CS_NOINIT));
  EXPECT_EQ(g_TunnelOwnerClientN.load(), -1);
  auto p = pushes();
  ASSERT_EQ(p.size(), 1u) << "told once";
  EXPECT_EQ(p[0].code, MSG_STATE_CHANGED);
  EXPECT_EQ(p[0].result, 0u);
  EXPECT_EQ(p[0].target, -1) << "no owner any more: every client";
  EXPECT_NE(LogText().find("The filter does not answer: the tunnel is gone"), std::string::npos);
  setState(0);  // it comes back
  tick();
  EXPECT_NE(LogText().find("The filter answers again"), std::string::npos);
  EXPECT_EQ(peer.requests(IOCTL_SETPID), 1);
}

TEST_F(FilterWatchTest, AFilterIdleUnderTheTunnelTwiceInARowEndsIt) {
  setState(0);
  tick();
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0) << "once may be the filter's own disconnect, whose event comes next";
  EXPECT_TRUE(pushes().empty());
  tick();
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
  EXPECT_EQ(filterState, static_cast<uint32_t>(CS_NOINIT));
  auto p = pushes();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].result, 0u);
  EXPECT_NE(LogText().find("disconnect reason: Filter gone"), std::string::npos);
}

TEST_F(FilterWatchTest, NoProbeWhileAConnectAttemptRuns) {
  std::lock_guard<std::mutex> attempt(mtx_connecting_started);
  std::thread([this] { tick(); }).join();
  EXPECT_EQ(peer.total_requests(), 0);
}

}  // namespace
}  // namespace enginetest
