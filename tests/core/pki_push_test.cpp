// The two pushes that wait for the client's answer, against a scripted
// filter and a real client program on an in-process IPC server: the
// signature request (58) takes the material the client returns, and a
// client that leaves it unanswered is dropped; a connect attempt whose
// initiating client never answers the PKI check (59) fails as cancelled and
// the client is dropped, so it cannot hold the daemon's push and connect
// locks. That attempt resumes at the SYN reply wait against a loopback
// gateway.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cstring>
#include <thread>

#include "Service/common/core/connection_stages.h"
#include "Service/common/engine/gateway_socket.h"
#include "Service/common/engine/handshake_requests.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/socket_io.h"
#include "kernel/include/drv_requests.h"
#include "tests/core/attempt_fixture.h"

namespace {

using enginetest::Bytes;
using enginetest::FramedArea;

class PkiPushTest : public AttemptTest {
 protected:
  void SetUp() override {
    AttemptTest::SetUp();
    if (IsSkipped()) return;
    savedTimeout = push_answer_timeout_ms;
    push_answer_timeout_ms = 300;
  }
  void TearDown() override {
    if (savedTimeout != 0) push_answer_timeout_ms = savedTimeout;
    AttemptTest::TearDown();
  }
  // The filter: a SYN request held, a SYN reply accepted with a PKI block.
  void scriptFilter() {
    filter.areas[RQC_GETNEXTSYNPACKETNUMBER] = FramedArea(CS_WAIT_SYNRR, 0, {0});
    filter.areas[RQC_SETCLIENTSOCKET] = FramedArea(CS_WAIT_SYNRR, 0, {});
    filter.areas[RQC_GETSTAGETIMEOUT] = FramedArea(CS_WAIT_SYNRR, 0, {2, 0, 0, 0});
    Bytes pki(28 + 64 + 10, 0x42);
    enginetest::Put32(pki, 0, 0);
    enginetest::Put32(pki, 4, 64);
    enginetest::Put32(pki, 8, 10);
    enginetest::Put32(pki, 20, 0);
    enginetest::Put32(pki, 24, 0);
    filter.areas[RQC_TREATPACKET] = FramedArea(CS_APP_SYNOK, 0, pki);
    filter.areas[RQC_GETCFGCON] = FramedArea(CS_APP_SYNOK, 0, Bytes(272, 0));
    filter.areas[RQC_DISCONNECT] = FramedArea(CS_NOINIT, 0, {});
  }
  // A SYN request in Packet as the filter left it: one datagram of 40 bytes.
  void holdSynRequest() {
    memset(Packet, 0, sizeof Packet);
    uint32_t length = 40;
    memcpy(Packet + 20, &length, 4);
    packetLen = sizeof(DrvRequestHeader) + length;
    filterState = CS_WAIT_SYNRR;
    connect_data.gatewayIp = INADDR_LOOPBACK;
    attempt_connect_data = connect_data;  // the attempt that built it
    sendPacketRules.port = gateway.port;
  }
  // Answers the first datagram that reaches the gateway with one of its own.
  void answerOnce() {
    pollfd p{gateway.fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    if (recvfrom(gateway.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) <= 0) return;
    uint8_t reply[64] = {1, 2, 3};
    sendto(gateway.fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), len);
  }
  int savedTimeout = 0;
};

TEST_F(PkiPushTest, ASilentInitiatorFailsTheAttemptAndIsDropped) {
  ClientProcess client(1000, {"--no-answer"});
  int id = client.registeredId();
  ASSERT_GE(id, 0);
  scriptFilter();
  holdSynRequest();
  int32_t error = 0, result = -1;
  std::thread attempt([&] { result = ConnectToVesk(id, &error, 0, nullptr, nullptr, nullptr); });
  answerOnce();
  attempt.join();
  EXPECT_NE(client.expect("push code=59"), "");
  EXPECT_EQ(result, CONNECT_CANCELLED);
  EXPECT_EQ(error, CONNECT_ERR_CANCELLED);
  EXPECT_TRUE(Eventually([&] { return !IPC_ClientAlive(id); }));
  EXPECT_NE(client.expectOneOf({"push socket closed", "error: the daemon closed the connection"}), "");
  EXPECT_NE(enginetest::LogText().find("did not answer the PKI check - dropped"), std::string::npos);
  // The attempt is over: its lock is free again.
  EXPECT_TRUE(mtx_connecting_started.try_lock());
  mtx_connecting_started.unlock();
}

// The shutdown's cancellation holds for the rest of the process (each test
// runs in a process of its own).
TEST_F(PkiPushTest, TheShutdownEndsTheWaitForTheInitiatorsAnswerAtOnce) {
  push_answer_timeout_ms = 120000;
  ClientProcess client(1000, {"--no-answer"});
  int id = client.registeredId();
  ASSERT_GE(id, 0);
  scriptFilter();
  holdSynRequest();
  struct Outcome {
    std::atomic<bool> done{false};
    int32_t error = 0, result = -1;
  };
  auto outcome = std::make_shared<Outcome>();  // outlives the test if the attempt does not end
  std::thread attempt([id, outcome] {
    outcome->result = ConnectToVesk(id, &outcome->error, 0, nullptr, nullptr, nullptr);
    outcome->done.store(true);
  });
  answerOnce();
  ASSERT_NE(client.expect("push code=59"), "");
  IPC_CancelPushAnswers();
  bool ended = Eventually([&] { return outcome->done.load(); }, 3000);
  if (ended) attempt.join();
  else attempt.detach();
  ASSERT_TRUE(ended) << "the attempt still waits for the client's answer";
  EXPECT_EQ(outcome->result, CONNECT_CANCELLED);
  EXPECT_TRUE(mtx_connecting_started.try_lock());
  mtx_connecting_started.unlock();
}

// The signature material as the filter receives it in RQC_MAKESYNRQ.
class SignPushTest : public PkiPushTest {
 protected:
  void SetUp() override {
    PkiPushTest::SetUp();
    if (IsSkipped()) return;
    connect_data.profileType = 0;
    filter.areas[RQC_MAKESYNRQ] = FramedArea(CS_WAIT_SYNRR, 0, Bytes(10, 1));
    peer.set_script([this](const enginetest::Request& req) {
      if (req.code == RQC_MAKESYNRQ) {
        std::lock_guard<std::mutex> lock(mtx);
        synRequestData = req.data;
      }
      return filter.script()(req);
    });
  }
  // Registered with its push socket in place.
  static bool pushable(int id) {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    auto it = clients_list.find(id);
    return it != clients_list.end() && it->second.serverClientSock >= 0;
  }
  bool filterGot(const Bytes& material) {
    std::lock_guard<std::mutex> lock(mtx);
    return std::search(synRequestData.begin(), synRequestData.end(), material.begin(), material.end()) !=
           synRequestData.end();
  }
  std::mutex mtx;
  Bytes synRequestData;
};

TEST_F(SignPushTest, TheClientsMaterialReachesTheFilter) {
  ClientProcess client(1000, {"--sign-answer", "a1b2c3d4e5f6"});
  int id = client.registeredId();
  ASSERT_GE(id, 0);
  ASSERT_TRUE(Eventually([&] { return pushable(id); }));
  EXPECT_EQ(getSendPacket_SYNRQ(id), 0);
  EXPECT_NE(client.expect("push code=58"), "");
  EXPECT_EQ(peer.requests(RQC_MAKESYNRQ), 1);
  EXPECT_TRUE(filterGot({0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}));
  EXPECT_TRUE(IPC_ClientAlive(id));
}

TEST_F(SignPushTest, ASilentClientFailsTheRequestAndIsDropped) {
  ClientProcess client(1000, {"--no-answer"});
  int id = client.registeredId();
  ASSERT_GE(id, 0);
  ASSERT_TRUE(Eventually([&] { return pushable(id); }));
  EXPECT_EQ(getSendPacket_SYNRQ(id), static_cast<int32_t>(SIGN_SYN_SUBCODE));
  EXPECT_NE(client.expect("push code=58"), "");
  EXPECT_EQ(peer.requests(RQC_MAKESYNRQ), 0);
  EXPECT_TRUE(Eventually([&] { return !IPC_ClientAlive(id); }));
  EXPECT_NE(client.expectOneOf({"push socket closed", "error: the daemon closed the connection"}), "");
  EXPECT_NE(enginetest::LogText().find("did not answer the signature request - dropped"), std::string::npos);
}

}  // namespace
