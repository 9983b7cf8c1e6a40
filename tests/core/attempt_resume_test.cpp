// A connect attempt that failed and the next one, against a scripted filter,
// a silent loopback gateway and real client programs: the same connect
// data go on where the filter stands (the SYN request that was built is
// sent again); another profile, profile type, gateway, tunnel group or any
// later byte of the connect data starts from the first stage with a SYN
// request of its own. Command 1
// tells the running attempt from the one that failed. What a client of
// another user set before a connect is not what the connect runs with.
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Service/common/core/client_commands.h"
#include "Service/common/core/connect_requests.h"
#include "Service/common/core/tunnel_settings.h"
#include "Service/common/core/connection_stages.h"
#include "Service/common/engine/engine_state.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"
#include "kernel/include/drv_requests.h"
#include "tests/core/attempt_fixture.h"
#include "tests/engine/engine_fixture.h"

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

// Clients of two users: `id` of uid 1000 and `other` of uid 1001. The
// filter's requests are kept by code, the last of each.
class TunnelSettingsTest : public AttemptResumeTest {
 protected:
  void SetUp() override {
    AttemptResumeTest::SetUp();
    if (IsSkipped()) return;
    otherClient = std::make_unique<ClientProcess>(1001, std::vector<std::string>{});
    other = otherClient->registeredId();
    ASSERT_GE(other, 0);
    auto script = filter.script();
    peer.set_script([this, script](const enginetest::Request& req) {
      std::lock_guard<std::mutex> lock(mtx);
      sent[req.code].push_back(req.data);
      return script(req);
    });
  }
  void TearDown() override {
    otherClient.reset();
    AttemptResumeTest::TearDown();
  }
  // The payload of the last request of code (behind the length word and
  // the request header, as long as the header's length word says), as text.
  std::string lastPayload(uint32_t code) {
    std::lock_guard<std::mutex> lock(mtx);
    return sent[code].empty() ? "" : payloadOf(sent[code].back());
  }
  // How many requests of code the filter got, and the payload of the one
  // with index i ("none" when it has not come).
  size_t sentCount(uint32_t code) {
    std::lock_guard<std::mutex> lock(mtx);
    return sent[code].size();
  }
  std::string payloadAt(uint32_t code, size_t i) {
    std::lock_guard<std::mutex> lock(mtx);
    return i < sent[code].size() ? payloadOf(sent[code][i]) : "none";
  }
  static std::string payloadOf(const Bytes& d) {
    if (d.size() < 28) return "";
    size_t n = std::min<size_t>(enginetest::U32(d, 4 + 20), d.size() - 28);
    return std::string(d.begin() + 28, d.begin() + 28 + static_cast<std::ptrdiff_t>(n));
  }
  static std::unique_ptr<ServicePipeMessage_t> command(int client, uint32_t code, uint32_t result = 0,
                                                       uint32_t value1 = 0, const std::string& payload = "") {
    auto m = std::make_unique<ServicePipeMessage_t>();
    memset(m.get(), 0, sizeof *m);
    m->code = code;
    m->clientN = client;
    m->result = result;
    m->value1 = value1;
    memcpy(m->payload, payload.data(), payload.size());
    core::AnswerClientMessage(m.get());
    return m;
  }
  // Every setting a client may change before a connect, with texts of its user's.
  void setAll(int client, const std::string& mark) {
    std::string rules = mark + "-rules";
    rules.resize(32);
    command(client, IPC_CMD_SET_RULES, 32, 0, rules);
    command(client, IPC_CMD_SET_SS_LIST, 1, 48, mark + ".example");
    command(client, IPC_CMD_SET_TUNNEL_GROUP, 0, 0, mark + "-group");
    command(client, IPC_CMD_SET_HOST_WHITELIST, 0, 0, mark + ".example");
    std::string one(12, '\0');
    one[0] = 1;
    one[8] = static_cast<char>(0xCB);  // 203.0.113.x
    command(client, IPC_CMD_SET_IP_WHITELIST, 0, 0, one);
    command(client, IPC_CMD_SET_PROTOCOLS_WHITELIST, 0, 0, std::string(4, '\x06'));
    command(client, IPC_CMD_SET_FAIL_RATE, 0, 0, std::string(1, '\x01'));
    std::string radius(376 - 20 + 64, '\0');
    memcpy(radius.data() + 312 - 20, (mark + "-login").c_str(), mark.size() + 6);
    memcpy(radius.data() + 376 - 20, (mark + "-secret").c_str(), mark.size() + 7);
    command(client, IPC_CMD_SET_RADIUS_CREDENTIALS, 0, 0, radius);
  }
  // A connect request of client with the fixture's connect data; the
  // gateway never answers, so the attempt stops at the SYN reply.
  void connectAs(int client) {
    auto m = std::make_unique<ServicePipeMessage_t>();
    memset(m.get(), 0, sizeof *m);
    m->code = IPC_CMD_CONNECT;
    m->clientN = client;
    memcpy(m->payload, &connect_data, sizeof connect_data);
    core::AnswerClientConnectRequest(m.get());
    EXPECT_EQ(m->result, static_cast<uint32_t>(CONNECT_REFUSED));
  }
  std::string rulesText(int client) {
    auto rules = command(client, IPC_CMD_GET_RULES);
    return std::string(reinterpret_cast<const char*>(rules->payload));
  }
  std::unique_ptr<ClientProcess> otherClient;
  int other = -1;
  std::mutex mtx;
  std::map<uint32_t, std::vector<Bytes>> sent;
};

TEST_F(TunnelSettingsTest, AConnectOfAnotherUserStartsFromTheStartUpValues) {
  setAll(other, "other");
  ASSERT_EQ(rulesText(other), "other-rules");
  const std::string log = enginetest::LogText();
  int images = peer.requests(RQC_SETLOCALCFG);
  connectAs(id);
  EXPECT_EQ(rulesText(id), "");
  auto texts = command(id, IPC_CMD_GET_SS_LIST);
  EXPECT_EQ(texts->result, 0u);
  // The filter: the daemon's empty rules image (one request), an empty host
  // list, no addresses, no protocol, the fail rate off; the init record
  // carries none of the other user's RADIUS credentials.
  EXPECT_EQ(peer.requests(RQC_SETLOCALCFG), images + 1);
  EXPECT_EQ(lastPayload(RQC_SETHOSTWHITELIST), std::string(2, '\0'));
  EXPECT_EQ(peer.requests(RQC_SETIPWHITELIST), 2);
  EXPECT_EQ(lastPayload(RQC_SETPROTOCOLSWHITELIST), std::string(4, '\0'));
  EXPECT_EQ(lastPayload(RQC_SETFAILRATE), std::string(1, '\0'));
  EXPECT_EQ(lastPayload(RQC_INIT).find("other-"), std::string::npos);
  EXPECT_EQ(lastPayload(RQC_SETTUNNELGROUP).find("other"), std::string::npos);
  EXPECT_NE(enginetest::LogText().find("dropped before a connect of user", log.size()), std::string::npos);
}

TEST_F(TunnelSettingsTest, TheSameUsersSettingsBeforeItsConnectAreKept) {
  setAll(id, "own");
  int images = peer.requests(RQC_SETLOCALCFG), hosts = peer.requests(RQC_SETHOSTWHITELIST);
  const std::string log = enginetest::LogText();
  connectAs(id);
  EXPECT_EQ(rulesText(id), "own-rules");
  EXPECT_EQ(peer.requests(RQC_SETLOCALCFG), images);
  EXPECT_EQ(peer.requests(RQC_SETHOSTWHITELIST), hosts);
  EXPECT_NE(lastPayload(RQC_INIT).find("own-login"), std::string::npos);
  EXPECT_EQ(enginetest::LogText().find("dropped before", log.size()), std::string::npos);
}

// Between connects, a setting of another user drops what the earlier user
// set, the kinds it does not set itself too.
TEST_F(TunnelSettingsTest, ASettingOfAnotherUserDropsTheEarlierUsersFirst) {
  command(other, IPC_CMD_SET_HOST_WHITELIST, 0, 0, "other.example");
  command(id, IPC_CMD_SET_RULES, 32, 0, std::string("own-rules").append(23, '\0'));
  EXPECT_EQ(lastPayload(RQC_SETHOSTWHITELIST), std::string(2, '\0'));
  EXPECT_EQ(rulesText(id), "own-rules");
}

TEST_F(TunnelSettingsTest, WhileAnAttemptRunsOnlyItsUserChangesTheSettings) {
  std::thread running([&] { connectAs(id); });
  EXPECT_TRUE(Eventually([] { return connect_attempt_running && filterState == CS_WAIT_SYNRR; }));
  auto refused = command(other, IPC_CMD_SET_RULES, 32, 0, std::string("other-rules").append(21, '\0'));
  auto served = command(id, IPC_CMD_SET_SS_LIST, 1, 48, "own.example");
  running.join();
  EXPECT_EQ(refused->result, 0u);
  EXPECT_EQ(rulesText(id), "");
  EXPECT_NE(enginetest::LogText().find("Command 16 of client " + std::to_string(other) +
                                       " refused: a connect attempt of another user runs"),
            std::string::npos);
  auto texts = command(id, IPC_CMD_GET_SS_LIST);
  EXPECT_EQ(texts->result, 1u);
  // Once the attempt has ended, the other user's settings are taken again.
  command(other, IPC_CMD_SET_RULES, 32, 0, std::string("other-rules").append(21, '\0'));
  EXPECT_EQ(rulesText(other), "other-rules");
}

// Each setting command alone, sent by a client of another user: a connect
// of the first user finds that one value back at its start-up value, and
// while an attempt of the first user runs, the command is refused.
class EachSettingTest : public TunnelSettingsTest {
 protected:
  struct Setting {
    uint32_t code, result, value1;
    std::string payload;
    uint32_t request;     // the filter's request that carries the value, 0 none
    std::string startUp;  // what the connect finds: that request's payload, or value()
  };
  std::vector<Setting> settings() const {
    std::string rules = std::string("other-rules").append(21, '\0');
    std::string address(12, '\0');
    address[0] = 1;
    address[8] = static_cast<char>(0xCB);  // 203.0.113.x
    std::string radius(376 - 20 + 64, '\0');
    memcpy(radius.data() + 312 - 20, "other-login", 11);
    memcpy(radius.data() + 376 - 20, "other-secret", 12);
    return {
        {IPC_CMD_SET_RULES, 32, 0, rules, 0, "rules "},
        {IPC_CMD_SET_SS_LIST, 1, 48, "other.example", 0, "texts 0"},
        {IPC_CMD_SET_TUNNEL_GROUP, 0, 0, "other-group", RQC_SETTUNNELGROUP, std::string(21, '\0')},
        {IPC_CMD_SET_HOST_WHITELIST, 0, 0, "other.example", RQC_SETHOSTWHITELIST, std::string(2, '\0')},
        {IPC_CMD_SET_IP_WHITELIST, 0, 0, address, RQC_SETIPWHITELIST, ""},
        {IPC_CMD_SET_PROTOCOLS_WHITELIST, 0, 0, std::string(4, '\x06'), RQC_SETPROTOCOLSWHITELIST,
         std::string(4, '\0')},
        {IPC_CMD_SET_FAIL_RATE, 0, 0, std::string(1, '\x01'), RQC_SETFAILRATE, std::string(1, '\0')},
        {IPC_CMD_SET_RADIUS_CREDENTIALS, 0, 0, radius, 0, "credentials none of theirs"},
    };
  }
  // What the daemon itself keeps of the setting, as the client of id sees it.
  std::string value(uint32_t code) {
    switch (code) {
      case IPC_CMD_SET_RULES: return "rules " + rulesText(id);
      case IPC_CMD_SET_SS_LIST: return "texts " + std::to_string(command(id, IPC_CMD_GET_SS_LIST)->result);
    }
    return lastPayload(RQC_INIT).find("other-") == std::string::npos ? "credentials none of theirs"
                                                                     : "credentials theirs";
  }
};

TEST_F(EachSettingTest, AloneFromAnotherUserItIsBackAtItsStartUpValueForAConnect) {
  for (const Setting& s : settings()) {
    SCOPED_TRACE("command " + std::to_string(s.code));
    command(other, s.code, s.result, s.value1, s.payload);
    size_t before = s.request != 0 ? sentCount(s.request) : 0;
    connectAs(id);
    EXPECT_EQ(s.request != 0 ? payloadAt(s.request, before) : value(s.code), s.startUp);
  }
}

TEST_F(EachSettingTest, AloneFromAnotherUserItIsRefusedWhileAnAttemptRuns) {
  std::thread running([&] { connectAs(id); });
  EXPECT_TRUE(Eventually([] { return connect_attempt_running && filterState == CS_WAIT_SYNRR; }));
  const std::string log = enginetest::LogText();
  for (const Setting& s : settings()) command(other, s.code, s.result, s.value1, s.payload);
  running.join();
  const std::string during = enginetest::LogText().substr(log.size());
  for (const Setting& s : settings()) {
    EXPECT_NE(during.find("Command " + std::to_string(s.code) + " of client " + std::to_string(other) +
                          " refused: a connect attempt of another user runs"),
              std::string::npos)
        << s.code;
  }
}

// The tunnel is up when the attempt ends: its owner is named while the
// attempt still holds the settings. The owner is named under the clients'
// lock, held here until the attempt has said how it ended.
TEST_F(TunnelSettingsTest, AnAttemptHoldsTheSettingsUntilTheTunnelItBroughtUpHasItsOwner) {
  std::thread running([&] { connectAs(id); });
  ASSERT_TRUE(Eventually([] { return connect_attempt_running && filterState == CS_WAIT_SYNRR; }));
  std::unique_lock<std::mutex> clients(mtx_reg_clients);
  filterState = CS_CONNECT;
  bool ended = Eventually(
      [] { return enginetest::LogText().find("finished on filter state: CS_CONNECT") != std::string::npos; });
  GetLog().WriteToLog("probe");  // the log's lock orders the attempt's writes before these reads
  bool held = tunnel_settings_owner.attempt;
  int owner = g_TunnelOwnerClientN;
  clients.unlock();
  running.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(owner, -1);
  EXPECT_TRUE(held);
  EXPECT_EQ(g_TunnelOwnerClientN, id);
  EXPECT_FALSE(tunnel_settings_owner.attempt);
  command(other, IPC_CMD_SET_RULES, 32, 0, std::string("other-rules").append(21, '\0'));
  EXPECT_EQ(rulesText(id), "");
}

// A setting command of another user that passed the dispatcher's look at
// the owner before the connect named it reaches the settings only after the
// attempt's mark went: the owner is asked again there.
TEST_F(TunnelSettingsTest, ASettingThatComesAfterTheOwnerIsNamedIsRefused) {
  connectAs(id);
  {
    std::lock_guard<std::mutex> clients(mtx_reg_clients);
    g_TunnelOwnerClientN = id;
  }
  bool ran = false;
  EXPECT_FALSE(core::ChangeTunnelSettings(other, IPC_CMD_SET_RULES, [&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(core::ChangeTunnelSettings(id, IPC_CMD_SET_RULES, [&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST_F(TunnelSettingsTest, AStoppedAttemptOfAnotherUserIsNotResumed) {
  connectAs(other);
  Counts first = counts();
  connectAs(id);
  EXPECT_EQ(counts().inits, first.inits + 1);
  EXPECT_EQ(counts().synRequests, first.synRequests + 1);
  Recording& r = recording();
  std::lock_guard<std::mutex> lock(r.mtx);
  EXPECT_EQ(std::count(r.disconnects.begin(), r.disconnects.end(), "Another user's stopped attempt|0"), 1);
}

}  // namespace
