// The first-gateway timer with its wait injected: it drops the tunnel only
// when the first gateway answers and the tunnel it was set for is still up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/first_gateway_reconnect.h"
#include "cross/utils/service_hooks.h"
#include "kernel/include/drv_requests.h"
#include "tests/engine/engine_fixture.h"

namespace enginetest {
namespace {

std::atomic<int> g_message54{0};
void (*g_duringWait)() = nullptr;

void injectedWait(uint32_t) {
  if (g_duringWait) g_duringWait();
}

class FirstGatewayTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    g_message54 = 0;
    g_duringWait = nullptr;
    ReconnectToFirstVESK_wait = injectedWait;
    Engine_SetHooks({nullptr, nullptr, nullptr, nullptr, nullptr, [](ServicePipeMessage_t* m) {
                       if (m->code == MSG_RECONNECT_FIRST_GATEWAY && m->clientN == -1) g_message54++;
                     }});
    Engine_InstallDisconnectHandler();
    // The first gateway: a loopback socket that answers every probe.
    gw = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(gw, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(gw, reinterpret_cast<sockaddr*>(&a), &len);
    Bytes probe = FramedArea(7, 0, Bytes(32, 0x50));
    Put32(probe, 4 + 4, ntohs(a.sin_port));
    filter.areas[RQC_MAKESYNRQ_CHECKAVAILABLE] = probe;
    filter.areas[RQC_TREATSYNRQ_CHECKAVAILABLE] = FramedArea(7, 0, {});
    filter.areas[RQC_DISCONNECT] = FramedArea(0, 0, {});
    // It answers until the test ends: a stray datagram on its port (the
    // port may have been another test's a moment ago) does not use up the
    // probe's answer.
    answering = std::thread([this] {
      uint8_t buf[1024];
      while (!stopping.load()) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(gw, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n > 0) sendto(gw, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), flen);
        if (n < 0 && errno != EINTR) return;
      }
    });
    // Every request here is scripted: the reply bound only has to outlast
    // a loaded machine.
    SendIRP_ReplyTimeoutMs = 5000;
    connect_data.profileId = 1;
    connect_data.gatewayIp = INADDR_LOOPBACK;
    UseServiceAlternalVESKIP = 1;
    filterState = CS_CONNECT;
  }
  void TearDown() override {
    stopping = true;
    shutdown(gw, SHUT_RDWR);
    answering.join();
    close(gw);
    Engine_SetHooks(Engine_StandingHooks());
    IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
    EngineTest::TearDown();
  }
  int gw = -1;
  std::atomic<bool> stopping{false};
  std::thread answering;
};

TEST_F(FirstGatewayTest, AnsweringFirstGatewayEndsTheTunnelAndAsksClientsToReconnect) {
  // A stray sender reaches the gateway's port first.
  int stray = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  socklen_t len = sizeof to;
  getsockname(gw, reinterpret_cast<sockaddr*>(&to), &len);
  ASSERT_EQ(sendto(stray, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), len), 1);
  close(stray);
  ReconnectToFirstVESKwait_thread_function(5, g_tunnel_generation.load());
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
  EXPECT_EQ(g_message54.load(), 1);
  EXPECT_NE(LogText().find("Reconnect to primary VESK timer fired"), std::string::npos);
}

TEST_F(FirstGatewayTest, ATunnelReplacedDuringTheWaitIsLeftAlone) {
  g_duringWait = [] {
    DisconnectNative("user", 1, nullptr, 0);  // the tunnel it was set for ends
    filterState = CS_CONNECT;                 // and a new one comes up
  };
  ReconnectToFirstVESKwait_thread_function(5, g_tunnel_generation.load());
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1) << "only the user's own disconnect";
  EXPECT_EQ(peer.requests(RQC_MAKESYNRQ_CHECKAVAILABLE), 0);
  EXPECT_EQ(g_message54.load(), 0);
}

TEST_F(FirstGatewayTest, NothingHappensWithoutATimerOrATunnelToAnAlternative) {
  ReconnectToFirstVESKwait_thread_function(0, g_tunnel_generation.load());
  UseServiceAlternalVESKIP = 0;
  ReconnectToFirstVESKwait_thread_function(5, g_tunnel_generation.load());
  UseServiceAlternalVESKIP = 1;
  g_duringWait = [] { filterState = CS_NOINIT; };
  ReconnectToFirstVESKwait_thread_function(5, g_tunnel_generation.load());
  EXPECT_EQ(peer.total_requests(), 0);
  EXPECT_EQ(g_message54.load(), 0);
}

TEST_F(FirstGatewayTest, UnavailableFirstGatewayKeepsTheTunnel) {
  filter.areas[RQC_TREATSYNRQ_CHECKAVAILABLE] = FramedArea(7, -5, {});
  ReconnectToFirstVESKwait_thread_function(5, g_tunnel_generation.load());
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
  EXPECT_EQ(g_message54.load(), 0);
  EXPECT_NE(LogText().find("First VESK isn't available"), std::string::npos);
}

}  // namespace
}  // namespace enginetest
