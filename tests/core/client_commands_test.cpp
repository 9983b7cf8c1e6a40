// The client command dispatcher and the connect requests in-process, against
// a scripted filter: requests without an entry come back unchanged, requests
// whose counts or texts do not fit the message change nothing, the rules'
// used-entry count, the tunnel owner's view, the busy connect, and the
// routing and settings helpers.
#include "Service/common/core/client_commands.h"

#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "Service/common/core/connect_requests.h"
#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/local_rules.h"
#include "Service/common/core/push_routing.h"
#include "crypto/crc32.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/ipc_server.h"
#include "kernel/include/drv_requests.h"
#include "cross/utils/registry.h"
#include "cross/utils/service_hooks.h"
#include "tests/engine/engine_fixture.h"

namespace {

using enginetest::Bytes;
using enginetest::FramedArea;

std::unique_ptr<ServicePipeMessage_t> message(uint32_t code) {
  auto m = std::make_unique<ServicePipeMessage_t>();
  memset(m.get(), 0, sizeof *m);
  m->code = code;
  m->clientN = 3;
  return m;
}

template <typename T>
void putAt(ServicePipeMessage_t& m, size_t offset, T v) {
  memcpy(m.payload + offset - 20, &v, sizeof v);
}

class ClientCommandsTest : public enginetest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    g_TunnelOwnerClientN = -1;
    memset(RULES, 0, sizeof RULES);
    memset(ATABLE, 0, sizeof ATABLE);
  }
  void TearDown() override {
    g_TunnelOwnerClientN = -1;
    EngineTest::TearDown();
  }
};

TEST_F(ClientCommandsTest, CodesWithoutAnEntryComeBackByteForByte) {
  for (uint32_t code : {2u, 3u, 4u, 6u, 7u, 8u, 9u, 34u, 36u, 42u, 43u, 1000u}) {
    auto m = message(code);
    for (size_t i = 0; i < IPC_PAYLOAD_SIZE; i++) m->payload[i] = static_cast<uint8_t>(i * 31 + code);
    m->result = 5;
    m->value1 = 6;
    m->value2 = 7;
    ServicePipeMessage_t before = *m;
    core::AnswerClientMessage(m.get());
    EXPECT_EQ(memcmp(&before, m.get(), sizeof before), 0) << code;
  }
  EXPECT_EQ(peer.total_requests(), 0);
}

TEST_F(ClientCommandsTest, ARequestsFieldsAreClearedFromTheReply) {
  auto m = message(IPC_CMD_PING);
  memset(m->payload, 0xAB, IPC_PAYLOAD_SIZE);
  m->result = 99;
  core::AnswerClientMessage(m.get());
  EXPECT_EQ(m->code, IPC_CMD_PING);
  EXPECT_EQ(m->clientN, 3);
  EXPECT_EQ(m->result, 0u);
  EXPECT_EQ(m->payload[0], 0);
  EXPECT_EQ(m->payload[IPC_PAYLOAD_SIZE - 1], 0);
}

// Requests whose sizes lie outside the message or the rules' records, and
// texts without an end: result 0, no request to the filter, nothing changed.
TEST_F(ClientCommandsTest, OversizedCountsAndUnterminatedTextsChangeNothing) {
  RULES[0] = 0x77;
  struct Case {
    const char* what;
    uint32_t code;
    void (*fill)(ServicePipeMessage_t&);
    uint32_t filterCode;
  } cases[] = {
      {"rules header too long", IPC_CMD_SET_RULES, [](ServicePipeMessage_t& m) { m.result = 33; }, RQC_SETLOCALCFG},
      {"rules table too long", IPC_CMD_SET_RULES,
       [](ServicePipeMessage_t& m) { m.result = 32; m.value1 = 3081; }, RQC_SETLOCALCFG},
      {"negative rules size", IPC_CMD_SET_RULES,
       [](ServicePipeMessage_t& m) { m.result = static_cast<uint32_t>(-1); }, RQC_SETLOCALCFG},
      {"texts past the message", IPC_CMD_SET_SS_LIST,
       [](ServicePipeMessage_t& m) { m.result = 384; m.value1 = 48; }, RQC_SETLOCALCFG},
      {"stride past the message", IPC_CMD_SET_SS_LIST,
       [](ServicePipeMessage_t& m) { m.result = 2; m.value1 = 0x80000000u; }, RQC_SETLOCALCFG},
      {"many texts with a zero stride", IPC_CMD_SET_SS_LIST,
       [](ServicePipeMessage_t& m) { m.result = 0x7fffffff; m.value1 = 0; }, RQC_SETLOCALCFG},
      {"addresses past the message", IPC_CMD_SET_IP_WHITELIST,
       [](ServicePipeMessage_t& m) { putAt<uint64_t>(m, 20, 4602); }, RQC_SETIPWHITELIST},
      {"unterminated tunnel group", IPC_CMD_SET_TUNNEL_GROUP,
       [](ServicePipeMessage_t& m) { memset(m.payload, 'g', IPC_PAYLOAD_SIZE); }, RQC_SETTUNNELGROUP},
      {"unterminated host list", IPC_CMD_SET_HOST_WHITELIST,
       [](ServicePipeMessage_t& m) { memset(m.payload, 'h', IPC_PAYLOAD_SIZE); }, RQC_SETHOSTWHITELIST},
      {"unterminated adapter name", IPC_CMD_ADAPTER_MTU,
       [](ServicePipeMessage_t& m) { memset(m.payload, 'n', IPC_PAYLOAD_SIZE); m.result = 1400; }, 0},
  };
  initSSList(&SS, 48);
  addSSList(&SS, "kept");
  for (const Case& c : cases) {
    auto m = message(c.code);
    c.fill(*m);
    core::AnswerClientMessage(m.get());
    EXPECT_EQ(m->result, 0u) << c.what;
    if (c.filterCode != 0) {
      EXPECT_EQ(peer.requests(c.filterCode), 0) << c.what;
    }
  }
  EXPECT_EQ(RULES[0], 0x77);
  ASSERT_NE(SS.head, nullptr);
  EXPECT_STREQ(SS.head->text, "kept");
  EXPECT_EQ(SS.head->next, nullptr);
}

TEST_F(ClientCommandsTest, TheTextListAnswersAsManyEntriesAsFitTheMessage) {
  initSSList(&SS, 48);
  for (int i = 0; i < 400; i++) addSSList(&SS, ("entry " + std::to_string(i)).c_str());
  auto m = message(IPC_CMD_GET_SS_LIST);
  core::AnswerClientMessage(m.get());
  EXPECT_EQ(m->result, 383u);
  EXPECT_STREQ(reinterpret_cast<const char*>(m->payload + 382 * 48), "entry 382");
  initSSList(&SS, 48);
}

uint32_t u32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// The filter is given only the used entries' count; the daemon keeps the
// full count, with a check word that matches it.
TEST_F(ClientCommandsTest, TextListLoadsTheRulesWithTheUsedEntriesCount) {
  std::optional<uint32_t> countSent;
  peer.set_script([&](const enginetest::Request& req) -> std::optional<Bytes> {
    if (req.code != RQC_SETLOCALCFG) return std::nullopt;
    const uint8_t* chunk = req.data.data() + 4 + 24;
    uint32_t offset = u32(chunk + 4);
    if (offset == RULES_HEADER_SIZE) countSent = u32(chunk + 8 + 3072);
    Bytes answer(8, 0);
    enginetest::Put32(answer, 0, offset == 0 ? RULES_HEADER_SIZE : RULES_IMAGE_SIZE);
    return enginetest::ReplyWith(req, FramedArea(0, 0, answer));
  });
  // Three entries, the second unused (bit 31 of its first word).
  for (int i = 0; i < 3; i++) ATABLE[i * 12] = static_cast<uint8_t>(i + 1);
  ATABLE[12 + 3] = 0x80;
  uint32_t three = 3;
  memcpy(ATABLE + 3072, &three, 4);
  auto m = message(IPC_CMD_SET_SS_LIST);
  m->result = 2;
  m->value1 = 48;
  strcpy(reinterpret_cast<char*>(m->payload), "first");
  strcpy(reinterpret_cast<char*>(m->payload + 48), "second");
  core::AnswerClientMessage(m.get());
  EXPECT_EQ(m->result, 0u);
  ASSERT_TRUE(countSent.has_value());
  EXPECT_EQ(*countSent, 2u);
  auto rules = message(IPC_CMD_GET_RULES);
  core::AnswerClientMessage(rules.get());
  EXPECT_EQ(rules->result, 32u);
  EXPECT_EQ(rules->value1, 3080u);
  const uint8_t* table = rules->payload + 32;
  EXPECT_EQ(u32(table + 3072), 3u);
  EXPECT_EQ(u32(table + 3076), ~FCS32(table, 3076));
  ASSERT_NE(SS.head, nullptr);
  EXPECT_STREQ(SS.head->text, "first");
  initSSList(&SS, 48);
}

TEST_F(ClientCommandsTest, OnlyTheOwnerOrAnyoneWithoutOneSeesTheState) {
  filterState = CS_CONNECT;
  struct Case {
    int owner, requester;
    uint32_t state;
  } cases[] = {{-1, 3, 7}, {3, 3, 7}, {5, 3, 0}, {0, 3, 0}, {0, 0, 7}};
  for (const Case& c : cases) {
    g_TunnelOwnerClientN = c.owner;
    auto m = message(IPC_CMD_GET_STATE);
    m->clientN = c.requester;
    core::AnswerClientMessage(m.get());
    EXPECT_EQ(m->result, c.state) << c.owner << "/" << c.requester;
  }
  filterState = CS_NOINIT;
}

TEST_F(ClientCommandsTest, VersionCredentialsAndAnUnregisterOfAClientAlreadyGone) {
  auto v = message(IPC_CMD_GET_VERSION);
  core::AnswerClientMessage(v.get());
  EXPECT_EQ(v->result, 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(v->payload + 20), versionText);
  EXPECT_STREQ(reinterpret_cast<const char*>(v->payload + 52), installDir);

  auto r = message(IPC_CMD_SET_RADIUS_CREDENTIALS);
  memcpy(r->payload + 292, "login-name", 11);
  memcpy(r->payload + 356, "secret", 7);
  core::AnswerClientMessage(r.get());
  EXPECT_STREQ(radius_login, "login-name");
  EXPECT_STREQ(radius_password, "secret");

  auto u = message(IPC_CMD_UNREGISTER);
  u->clientN = 77;
  core::AnswerClientMessage(u.get());
  EXPECT_EQ(u->result, static_cast<uint32_t>(filterState));
  EXPECT_NE(enginetest::LogText().find("Unregister: client already removed"), std::string::npos);
}

int32_t registryCommand(uint32_t code, int32_t value = 0) {
  auto m = message(code);
  putAt<int32_t>(*m, 20, value);
  core::AnswerClientMessage(m.get());
  int32_t out;
  memcpy(&out, m->payload, 4);
  return out;
}

TEST_F(ClientCommandsTest, RegistrySwitchesReadOneWhenAbsentThenWhatWasStored) {
  EXPECT_EQ(registryCommand(IPC_CMD_GET_RESTARTADAPTERS), 1);
  registryCommand(IPC_CMD_SET_RESTARTADAPTERS, 5);
  EXPECT_EQ(registryCommand(IPC_CMD_GET_RESTARTADAPTERS), 5);
  registryCommand(IPC_CMD_SET_FLUSHDNS, 0);
  EXPECT_EQ(registryCommand(IPC_CMD_GET_FLUSHDNS), 0);
  EXPECT_EQ(peer.total_requests(), 0);
}

TEST_F(ClientCommandsTest, AConnectWhileAnotherRunsIsBusyAndChangesNothing) {
  connect_data.gatewayIp = 0x01020304;
  std::unique_lock<std::mutex> running(mtx_connecting_vesk);
  auto m = message(IPC_CMD_CONNECT);
  putAt<uint32_t>(*m, 20 + 40, 0xCB007101);
  m->value2 = 99;
  std::thread([&] { core::AnswerClientConnectRequest(m.get()); }).join();
  EXPECT_EQ(m->result, CONNECT_BUSY);
  EXPECT_EQ(m->value1, static_cast<uint32_t>(filterState));
  EXPECT_EQ(m->value2, 0u);
  EXPECT_EQ(connect_data.gatewayIp, 0x01020304u);
}

// Client numbers start at 0: the first client to register may own the
// tunnel.
TEST_F(ClientCommandsTest, ANonOwnersDisconnectIsIgnored) {
  filterState = CS_CONNECT;
  for (int owner : {5, 0}) {
    g_TunnelOwnerClientN = owner;
    auto m = message(IPC_CMD_DISCONNECT);
    core::AnswerClientConnectRequest(m.get());
    EXPECT_EQ(m->result, static_cast<uint32_t>(CS_CONNECT)) << owner;
    EXPECT_EQ(g_TunnelOwnerClientN, owner);
    EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0) << owner;
  }
  filterState = CS_NOINIT;
}

TEST_F(ClientCommandsTest, ANonOwnersUnregisterKeepsTheTunnel) {
  filterState = CS_CONNECT;
  for (int owner : {5, 0}) {
    g_TunnelOwnerClientN = owner;
    auto m = message(IPC_CMD_UNREGISTER);
    putAt<uint32_t>(*m, 20, 0);
    core::AnswerClientMessage(m.get());
    EXPECT_EQ(m->result, static_cast<uint32_t>(CS_CONNECT)) << owner;
    EXPECT_EQ(g_TunnelOwnerClientN, owner);
    std::string kept = "Non-owner client 3 unregistering, owner is " + std::to_string(owner) + " - tunnel kept";
    EXPECT_NE(enginetest::LogText().find(kept), std::string::npos) << owner;
  }
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
  EXPECT_EQ(peer.requests(RQC_SETLOCALCFG), 0) << "the owner's rules stay";
  filterState = CS_NOINIT;
}

// A tunnel owned by a client of "alice" (client 5, or client 0: ids start at
// 0); client 4 is another client of alice, client 3 one of "bob". The filter
// answers a disconnect.
class TunnelOwnersUserTest : public ClientCommandsTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ClientCommandsTest::SetUp();
    handlersBefore = IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
    Engine_InstallDisconnectHandler();
    filter.areas[RQC_DISCONNECT] = FramedArea(CS_NOINIT, 0, {});
    initSSList(&SS, 48);
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    for (auto [id, user] : {std::pair<int, const char*>{3, "bob"}, {4, "alice"}, {owner, "alice"}}) {
      IPC_Client c;
      c.id = id;
      c.user = user;
      c.kind = static_cast<uint8_t>(id);
      c.closed = std::make_shared<std::atomic<bool>>(false);
      clients_list[id] = c;
    }
    g_TunnelOwnerClientN = owner;
    filterState = CS_CONNECT;
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(mtx_reg_clients);
      for (int id : {3, 4, owner}) clients_list.erase(id);
    }
    IPC_SetServiceHandlers(handlersBefore);
    filterState = CS_NOINIT;
    ClientCommandsTest::TearDown();
  }
  // A request of client `from` whose fields and payload would make every
  // listed command do something.
  std::unique_ptr<ServicePipeMessage_t> from(int client, uint32_t code) {
    auto m = message(code);
    m->clientN = client;
    m->result = 1;
    m->value1 = 1;
    memset(m->payload, 'x', 64);
    return m;
  }
  const int owner = GetParam();
  ServiceHandlers handlersBefore{};
};

INSTANTIATE_TEST_SUITE_P(Owner, TunnelOwnersUserTest, ::testing::Values(5, 0));

const uint32_t kOwnersUserOnly[] = {5, 11, 12, 14, 16, 17, 18, 23, 24, 25, 26, 27, 28, 33, 35, 37};
const char* const kOwnersSwitches[] = {"FlushDNS", "RestartAdapters"};

int storedSwitch(const char* name) {
  int value = -1;
  Registry_RegGetValueInt(installDir, name, &value);
  return value;
}

TEST_P(TunnelOwnersUserTest, AnotherUsersClientNeitherChangesNorReadsNorEndsTheTunnel) {
  for (const char* name : kOwnersSwitches) Registry_RegSetValueLongIntHex(installDir, name, 7);
  const std::string log = enginetest::LogText();
  for (uint32_t code : kOwnersUserOnly) {
    auto m = from(3, code);
    core::AnswerClientMessage(m.get());
    auto refused = message(code);
    refused->clientN = 3;
    EXPECT_EQ(memcmp(m.get(), refused.get(), sizeof *m), 0) << "command " << code << ": result 0, nothing else";
    std::string line = "Command " + std::to_string(code) + " of client 3 refused: the tunnel of client " +
                       std::to_string(owner) + " belongs to another user";
    EXPECT_NE(enginetest::LogText().find(line, log.size()), std::string::npos) << line;
  }
  EXPECT_EQ(peer.total_requests(), 0);
  EXPECT_EQ(SS.head, nullptr);
  EXPECT_EQ(radius_login[0], 0);
  for (const char* name : kOwnersSwitches) EXPECT_EQ(storedSwitch(name), 7) << name;
  EXPECT_EQ(enginetest::LogText().find("Update DNS suffixes", log.size()), std::string::npos)
      << "the gateway's suffixes were applied";
  auto force = from(3, IPC_CMD_DISCONNECT_FORCE);
  core::AnswerClientConnectRequest(force.get());
  EXPECT_EQ(force->result, static_cast<uint32_t>(CS_CONNECT));
  EXPECT_EQ(g_TunnelOwnerClientN, owner);
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 0);
}

TEST_P(TunnelOwnersUserTest, EveryClientOfTheOwnersUserIsServed) {
  auto rules = from(4, IPC_CMD_GET_RULES);
  core::AnswerClientMessage(rules.get());
  EXPECT_EQ(rules->result, 32u);
  auto radius = from(4, IPC_CMD_SET_RADIUS_CREDENTIALS);
  memcpy(radius->payload + 292, "login-name", 11);
  core::AnswerClientMessage(radius.get());
  EXPECT_STREQ(radius_login, "login-name");
  auto flush = from(owner, IPC_CMD_SET_FLUSHDNS);
  core::AnswerClientMessage(flush.get());
  EXPECT_EQ(storedSwitch("FlushDNS"), 0x78787878);
  auto force = from(4, IPC_CMD_DISCONNECT_FORCE);
  core::AnswerClientConnectRequest(force.get());
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
  EXPECT_EQ(force->result, static_cast<uint32_t>(CS_NOINIT));
  EXPECT_EQ(g_TunnelOwnerClientN, -1);
  memset(radius_login, 0, sizeof radius_login);
}

TEST_P(TunnelOwnersUserTest, WithoutAnOwnerEveryUserIsServed) {
  g_TunnelOwnerClientN = -1;
  auto rules = from(3, IPC_CMD_GET_RULES);
  core::AnswerClientMessage(rules.get());
  EXPECT_EQ(rules->result, 32u);
  auto force = from(3, IPC_CMD_DISCONNECT_FORCE);
  core::AnswerClientConnectRequest(force.get());
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
}

TEST(PushRoutingTest, GivenClientElseOwnerElseLastConnectedWhileConnectedElseAll) {
  struct Case {
    int id, owner, last;
    uint32_t state;
    int target;
  } cases[] = {
      {4, 2, 1, CS_CONNECT, 4}, {0, 2, 1, CS_NOINIT, 0},   {-1, 2, 1, CS_NOINIT, 2},
      {-1, -1, 1, CS_CONNECT, 1}, {-1, -1, 1, CS_WAIT_SYNRR, -1}, {-1, -1, -1, CS_CONNECT, -1},
      {-1, 0, 1, CS_CONNECT, 0},  {-1, -1, 0, CS_CONNECT, 0},
  };
  for (const Case& c : cases) {
    g_TunnelOwnerClientN = c.owner;
    g_LastConnectedClientNumber = c.last;
    filterState = c.state;
    EXPECT_EQ(TunnelMessageTarget(c.id), c.target) << c.id << " " << c.owner << " " << c.last;
  }
  g_TunnelOwnerClientN = -1;
  g_LastConnectedClientNumber = 0;
  filterState = CS_NOINIT;
}

TEST(WindowClientsTest, CountsTheUsersOtherLiveWindowClientsWithAPushSocket) {
  auto client = [](int id, const char* user, uint8_t kind, int push, bool closed) {
    IPC_Client c;
    c.id = id;
    c.user = user;
    c.kind = kind;
    c.serverClientSock = push;
    c.closed = std::make_shared<std::atomic<bool>>(closed);
    return c;
  };
  std::map<int, IPC_Client> clients = {
      {0, client(0, "anna", 1, 5, false)}, {1, client(1, "anna", 0, 6, false)},
      {2, client(2, "anna", 0, -1, false)}, {3, client(3, "anna", 0, 8, true)},
      {4, client(4, "annab", 0, 9, false)}, {5, client(5, "anna", 2, 10, false)},
  };
  EXPECT_EQ(Zor::OpenWindow::CountWindowClients(clients, 0), 1);
  EXPECT_EQ(Zor::OpenWindow::CountWindowClients(clients, 1), 0);
  EXPECT_EQ(Zor::OpenWindow::CountWindowClients(clients, 9), 0);
}

TEST(ConnectAttemptsTest, AbsentKeepsZeroGivesTenAndLargeIsCut) {
  struct Case {
    const char* stored;
    uint32_t want;
  } cases[] = {{nullptr, 42}, {"0", 10}, {"7", 7}, {"300", 255}, {"0xFFFFFFFF", 255}};
  for (const Case& c : cases) {
    if (c.stored) Registry_RegSetValueString(installDir, "ClientConnectAttempts",
                                             reinterpret_cast<const unsigned char*>(c.stored),
                                             static_cast<int>(strlen(c.stored)));
    uint32_t attempts = 42;
    GetPacketRules_sendattemps(&attempts);
    EXPECT_EQ(attempts, c.want) << (c.stored ? c.stored : "absent");
  }
  int stored = 0;
  ASSERT_TRUE(Registry_RegGetValueInt(installDir, "ClientConnectAttempts", &stored));
  EXPECT_EQ(stored, 255);
  EXPECT_STREQ(fitlerState2String(7), "CS_CONNECT");
  EXPECT_STREQ(fitlerState2String(8), "");
}

}  // namespace
