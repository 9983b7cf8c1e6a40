// A connect attempt that failed and the next one, against a scripted filter,
// a silent loopback gateway and a real client program: the same connect
// data go on where the filter stands (the SYN request that was built is
// sent again); another profile, profile type, gateway, tunnel group or any
// later byte of the connect data starts from the first stage with a SYN
// request of its own. Command 1
// tells the running attempt from the one that failed.
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "Service/common/core/client_commands.h"
#include "Service/common/core/connection_stages.h"
#include "cross/utils/service_hooks.h"
#include "kernel/include/drv_requests.h"
#include "tests/core/attempt_fixture.h"

namespace {

using enginetest::Bytes;
using enginetest::FramedArea;

class AttemptResumeTest : public AttemptTest {
 protected:
  void SetUp() override {
    AttemptTest::SetUp();
    if (IsSkipped()) return;
    client = std::make_unique<ClientProcess>(1000, std::vector<std::string>{});
    id = client->registeredId();
    ASSERT_GE(id, 0);
    ClearRecording();
    scriptFilter();
    g_TunnelOwnerClientN = -1;
    connect_data.profileId = 7;
    connect_data.profileType = 1;
    connect_data.gatewayIp = INADDR_LOOPBACK;
    memcpy(connect_data.tunnelGroup, "sales", 5);
  }
  void TearDown() override {
    client.reset();
    AttemptTest::TearDown();
  }
  // The filter walks to the SYN reply wait: init, auxiliary data, tunnel
  // group, a 40-byte SYN request for the gateway's port, no proxy.
  void scriptFilter() {
    filter.areas[RQC_INIT] = FramedArea(CS_APP_SYNRQ, 0, {});
    filter.areas[RQC_SETAUXINFO] = FramedArea(CS_APP_SYNRQ, 0, {});
    filter.areas[RQC_SETTUNNELGROUP] = FramedArea(CS_APP_SYNRQ, 0, {});
    Bytes synRequest(40, 0x5a);
    Bytes built = FramedArea(CS_PCONNECTING, 0, synRequest);
    enginetest::Put32(built, 4 + 4, gateway.port);  // the header's port word
    filter.areas[RQC_MAKESYNRQ] = built;
    filter.areas[RQC_PCONNECTING] = FramedArea(CS_WAIT_SYNRR, 0, {});
    filter.areas[RQC_SETCLIENTSOCKET] = FramedArea(CS_WAIT_SYNRR, 0, {});
    filter.areas[RQC_GETNEXTSYNPACKETNUMBER] = FramedArea(CS_WAIT_SYNRR, 0, {0});
    filter.areas[RQC_GETSTAGETIMEOUT] = FramedArea(CS_WAIT_SYNRR, 0, {1, 0, 0, 0});
    filter.areas[RQC_DISCONNECT] = FramedArea(CS_NOINIT, 0, {});
  }
  // One attempt; the gateway never answers, so it fails at the SYN reply.
  int32_t attempt() {
    int32_t error = 0;
    int32_t result = ConnectToVesk(id, &error, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(filterState, CS_WAIT_SYNRR);
    return result;
  }
  // The reset and the requests that build an attempt from the first stage.
  struct Counts {
    int resets, inits, synRequests;
    bool operator==(const Counts&) const = default;
  };
  Counts counts() {
    Recording& r = recording();
    std::lock_guard<std::mutex> lock(r.mtx);
    int resets = static_cast<int>(std::count(r.disconnects.begin(), r.disconnects.end(),
                                             "Driver state stale or filter state must be reset|0"));
    return {resets, peer.requests(RQC_INIT), peer.requests(RQC_MAKESYNRQ)};
  }
  static std::unique_ptr<ServicePipeMessage_t> getState(int requester) {
    auto m = std::make_unique<ServicePipeMessage_t>();
    memset(m.get(), 0, sizeof *m);
    m->code = IPC_CMD_GET_STATE;
    m->clientN = requester;
    core::AnswerClientMessage(m.get());
    return m;
  }
  std::unique_ptr<ClientProcess> client;
  int id = -1;
};

TEST_F(AttemptResumeTest, TheSameConnectDataResumeAtTheSynReplyWait) {
  EXPECT_EQ(attempt(), CONNECT_REFUSED);
  Counts first = counts();
  EXPECT_EQ(first, (Counts{0, 1, 1}));
  EXPECT_EQ(attempt(), CONNECT_REFUSED);
  EXPECT_EQ(counts(), first);
  EXPECT_EQ(peer.requests(RQC_GETNEXTSYNPACKETNUMBER), 2);
}

TEST_F(AttemptResumeTest, AnyOtherConnectDataStartFromTheFirstStage) {
  struct Change {
    const char* name;
    void (*apply)(ProfileConnectData&);
  } changes[] = {
      {"profile", [](ProfileConnectData& d) { d.profileId = 8; }},
      {"profile type", [](ProfileConnectData& d) { d.profileType = 0; }},
      {"gateway", [](ProfileConnectData& d) { d.gatewayIp = INADDR_LOOPBACK + 1; }},
      {"tunnel group", [](ProfileConnectData& d) { memcpy(d.tunnelGroup, "staff", 5); }},
      // The fields behind them count too, up to the last of the 1096 bytes.
      {"certificate text", [](ProfileConnectData& d) { memcpy(d.certText, "CN=other", 8); }},
      {"auxiliary flag", [](ProfileConnectData& d) { d.auxFlag = 1; }},
      {"RADIUS JSON's last byte", [](ProfileConnectData& d) { d.radiusLoginJson[sizeof d.radiusLoginJson - 1] = 'x'; }},
  };
  EXPECT_EQ(attempt(), CONNECT_REFUSED);
  for (const Change& c : changes) {
    Counts before = counts();
    c.apply(connect_data);
    EXPECT_EQ(attempt(), CONNECT_REFUSED) << c.name;
    EXPECT_EQ(counts(), (Counts{before.resets + 1, before.inits + 1, before.synRequests + 1})) << c.name;
  }
  // The certificate profile's SYN request was its own: the client signed it.
  EXPECT_NE(client->expect("answered code=58"), "");
}

TEST_F(AttemptResumeTest, CommandOneTellsARunningAttemptFromAFailedOne) {
  int32_t result = -1;
  std::thread running([&] { result = attempt(); });
  EXPECT_TRUE(Eventually([] { return connect_attempt_running && filterState == CS_WAIT_SYNRR; }));
  auto during = getState(id);
  running.join();
  EXPECT_EQ(result, CONNECT_REFUSED);
  EXPECT_EQ(during->result, CS_WAIT_SYNRR);
  EXPECT_EQ(during->value1, IPC_STATE_ATTEMPT_RUNNING);
  auto after = getState(id);
  EXPECT_EQ(after->result, CS_WAIT_SYNRR);
  EXPECT_EQ(after->value1, 0u);
}

}  // namespace
