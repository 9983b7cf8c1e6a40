// The gateway socket on loopback, with a scripted filter: which datagrams
// reach the filter in which state, and a closed gateway port while
// connected ending the tunnel through the SIGIO path and telling the clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/gateway_socket.h"
#include "cross/utils/service_hooks.h"
#include "kernel/include/drv_requests.h"
#include "tests/engine/engine_fixture.h"

namespace enginetest {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

class GatewaySocketTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Engine_InstallDisconnectHandler();
    filter.areas[RQC_TREATPACKET] = FramedArea(3, 0, {});
    filter.areas[RQC_DISCONNECT] = FramedArea(0, 0, {});
    gw = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(gw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    getsockname(gw, reinterpret_cast<sockaddr*>(&a), &len);
    gwPort = ntohs(a.sin_port);
    ASSERT_EQ(openSocket(), 0);
    uint16_t localPort = 0;
    uint32_t localIp = 0;
    ASSERT_EQ(connectSocket(kLoopback, gwPort, &localPort, &localIp), 0);
    EXPECT_EQ(localIp, kLoopback);
    client.sin_family = AF_INET;
    client.sin_port = htons(localPort);
    client.sin_addr.s_addr = htonl(kLoopback);
  }
  void TearDown() override {
    filterState = 0;
    GatewaySocket_Stop();
    if (gw >= 0) close(gw);
    IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
    EngineTest::TearDown();
  }
  // A datagram from the gateway, waited for until the socket has it.
  void fromGateway(size_t n) {
    Bytes d(n, 0x21);
    sendto(gw, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&client), sizeof client);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Waits (at most 2 s) until the gateway socket has a datagram or an error
  // waiting.
  bool socketReady() {
    pollfd p{conn_socket, POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
  }
  // Closes the gateway's port, then sends it a datagram.
  bool sendToClosedPort() {
    close(gw);
    gw = -1;
    uint8_t d[40] = {};
    return sendSocket(d, sizeof d) == 0;
  }
  int gw = -1;
  uint16_t gwPort = 0;
  sockaddr_in client{};
};

TEST_F(GatewaySocketTest, DatagramsReachTheFilterOnlyWhereTheyBelong) {
  EXPECT_EQ(checkPacket(), 0u);
  EXPECT_EQ(treatReceivedPacket_Error, 0);
  struct Case {
    uint32_t state;
    size_t size;
    uint32_t result;
    int32_t status;
    bool toFilter;
  } cases[] = {
      {0, 20, 1, 16, false}, {0, 21, 0, 0, true},  {6, 100, 0, 0, false}, {6, 5, 1, 16, false},
      {5, 3, 0, 0, true},    {3, 1, 0, 0, true},   {7, 100, 0, 0, false}, {4, 200, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.state) + "/" + std::to_string(c.size));
    int before = peer.requests(RQC_TREATPACKET);
    filterState = c.state;
    fromGateway(c.size);
    EXPECT_EQ(checkPacket(), c.result);
    EXPECT_EQ(treatReceivedPacket_Error, c.status);
    EXPECT_EQ(peer.requests(RQC_TREATPACKET) - before, c.toFilter ? 1 : 0);
  }
}

std::atomic<int> g_statePushes{0};

TEST_F(GatewaySocketTest, ClosedGatewayPortWhileConnectedDisconnectsAndTellsTheClients) {
  g_statePushes = 0;
  Engine_SetHooks({nullptr, nullptr, nullptr, nullptr,
                   [](ServicePipeMessage_t* m, int target) {
                     if (m->code == 50 && m->result == 0 && target == -1) g_statePushes++;
                   },
                   nullptr});
  filterState = CS_CONNECT;
  g_notified_filterState = CS_CONNECT;
  // The answer is an ICMP refusal, announced by SIGIO.
  ASSERT_TRUE(sendToClosedPort());
  // The push comes last, after the disconnect's request, its state and log line.
  for (int i = 0; i < 100 && g_statePushes.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
  EXPECT_EQ(filterState, 0u);
  EXPECT_NE(LogText().find("VESK socket receive error"), std::string::npos);
  EXPECT_NE(LogText().find("VESK connection closed"), std::string::npos);
  // At once, not only when the filter's event comes (this filter raises none).
  EXPECT_EQ(g_statePushes.load(), 1);
  Engine_SetHooks(Engine_StandingHooks());
}

TEST_F(GatewaySocketTest, RefusalDuringTheHandshakeIsTheDatagramStatus) {
  filterState = CS_WAIT_SYNRR;
  ASSERT_TRUE(sendToClosedPort());
  ASSERT_TRUE(socketReady()) << "no refusal came back";
  EXPECT_EQ(checkPacket(), static_cast<uint32_t>(ECONNREFUSED));
  EXPECT_EQ(treatReceivedPacket_Error, ECONNREFUSED);
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
}

TEST_F(GatewaySocketTest, WithoutSocketNothingIsReadOrClosed) {
  EXPECT_EQ(closeWinsock(), 0);
  EXPECT_EQ(conn_socket, 0);
  EXPECT_EQ(closeWinsock(), 0);
  EXPECT_EQ(conn_socket, 0);
  // Descriptor 0 is not the gateway socket: nothing is read from it.
  filterState = CS_CONNECT;
  EXPECT_EQ(checkPacket(), 0u);
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
}

}  // namespace
}  // namespace enginetest
