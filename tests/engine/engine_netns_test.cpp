// The engine's functions against the real filter inside zornfhost, in the
// test network's namespaces: the set-up requests and their limits, a whole
// handshake to the gateway simulator by the engine's functions alone with
// traffic through the tunnel, and events raised for real (zornfhost's
// stand-by signals, the adapter going down and up, a gateway status)
// reaching the dispatcher, with the CONFIRM and GETCODE requests counted.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <list>
#include <thread>

#include "Service/Linux/Service/driver_event_listener.h"
#include "Service/common/engine/adapter_binding.h"
#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/event_dispatcher.h"
#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/first_gateway_reconnect.h"
#include "Service/common/engine/gateway_socket.h"
#include "Service/common/engine/handshake_requests.h"
#include "Service/common/engine/local_rules.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/service_hooks.h"
#include "host/genl_messages.h"
#include "tests/engine/gateway_network.h"
#include "tests/engine/netlink_peer.h"
#include "tests/service/service_env.h"

namespace enginetest {
namespace {

constexpr uint32_t kGateway = 0xCB007101;  // 203.0.113.1

std::mutex g_pushLock;
std::vector<ServicePipeMessage_t> g_pushes;
void record(ServicePipeMessage_t* m) {
  std::lock_guard<std::mutex> lock(g_pushLock);
  g_pushes.push_back(*m);
}

template <typename F>
bool waitFor(F done, int ms) {
  for (int i = 0; i < ms / 20; i++) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

class EngineNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getuid() != 0) GTEST_SKIP() << "needs root for namespaces";
    ASSERT_TRUE(network.up()) << network.net().host_log();
    inCli = std::make_unique<InNetns>(network.net().cli());
    ASSERT_TRUE(inCli->ok());
    // Requests pass a counting relay on their way to zornfhost.
    relay = std::make_unique<NetlinkPeer>();
    relay->set_script(relay->forward_to(zornfhost::kControlPort, zornfhost::kRequestFamilyId,
                                        zornfhost::kEventFamilyId));
    FilterSeam_Force({NETLINK_USERSOCK, relay->port()});
    EngineState_Reset();
    Engine_InstallDisconnectHandler();
    g_pushes.clear();
    Engine_SetHooks({nullptr, nullptr, nullptr, nullptr,
                     [](ServicePipeMessage_t* m, int) { record(m); }, [](ServicePipeMessage_t* m) { record(m); }});
    OnDriverEvent_StandbySleepMs = 10;
  }
  void TearDown() override {
    DriverEventDestroy();
    filterState = 0;
    GatewaySocket_Stop();
    if (ZorVpnNLSK >= 0) close(ZorVpnNLSK);
    ZorVpnNLSK = -1;
    ZorVpnNLSK_fID = -1;
    relay.reset();
    inCli.reset();
    Engine_SetHooks(Engine_StandingHooks());
    IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
    network.down();
  }

  // Hands the gateway's datagrams to the filter until it reaches `state`.
  bool handshakeWait(uint32_t state) {
    return waitFor(
        [&] {
          checkPacket();
          return filterState == state || treatReceivedPacket_Error != 0;
        },
        5000) &&
           filterState == state;
  }

  // A whole handshake by the engine's functions, as a connect attempt makes it.
  void connectTunnel() {
    connect_data.profileType = 1;
    connect_data.gatewayIp = kGateway;
    ASSERT_EQ(filterInit(), 0);
    EXPECT_EQ(filterState, CS_APP_SYNRQ);
    ASSERT_EQ(setAuxInfo(), 0);
    ASSERT_EQ(setTunnelGroup(""), 0);
    ASSERT_EQ(getSendPacket_SYNRQ(-1), 0);
    ASSERT_GT(packetLen, 24u);
    EXPECT_EQ(sendPacketRules.port, 87u);
    uint8_t direct[14] = {};
    ASSERT_EQ(sendProxyState(RQC_PCONNECTING, direct, sizeof direct), 0);
    ASSERT_EQ(filterState, CS_WAIT_SYNRR);
    ASSERT_EQ(openSocket(), 0);
    uint16_t localPort = 0;
    ASSERT_EQ(connectSocket(kGateway, static_cast<uint16_t>(sendPacketRules.port), &localPort, &hostlocalipaddress), 0);
    EXPECT_EQ(hostlocalipaddress, 0xCB007102u);
    setClientSocketData(hostlocalipaddress, localPort);
    ASSERT_EQ(sendSocket(Packet + 24, packetLen - 24), 0);
    ASSERT_TRUE(handshakeWait(CS_APP_SYNOK)) << "state " << filterState << " status " << treatReceivedPacket_Error;
    uint32_t lengthA, lengthB;
    std::memcpy(&lengthA, tbuff + 4, 4);
    std::memcpy(&lengthB, tbuff + 8, 4);
    ASSERT_GE(lengthA, 64u);
    ASSERT_EQ(createTransportKey(tbuff + 28 + lengthB, 64), 0);
    ASSERT_EQ(treatSendPacket_SYNOK(), 0);
    ASSERT_EQ(filterState, CS_WAIT_SYNOKF);
    ASSERT_EQ(sendSocket(Packet, packetLen), 0);
    ASSERT_TRUE(handshakeWait(CS_APP_KEYS)) << "state " << filterState << " status " << treatReceivedPacket_Error;
    FillConnectKeys(localPort);
    ASSERT_EQ(setKeys(&setconnectkeys), 0);
    ASSERT_EQ(filterState, CS_CONNECT);
    ASSERT_EQ(setAdapter(kGateway, 1), 0);
    EXPECT_EQ(active_adapter_name, "tap0");
  }

  GatewayNetwork network;
  std::unique_ptr<InNetns> inCli;
  std::unique_ptr<NetlinkPeer> relay;
};

TEST_F(EngineNetnsTest, SetUpRequestsAndTheirLimits) {
  ASSERT_EQ(getFilterInfo(), 1);
  EXPECT_EQ(filterState, CS_NOINIT);
  setFilterParams();
  EXPECT_EQ(ServiceLogText().find("setFilterParams: driver error"), std::string::npos);
  connect_data.gatewayIp = kGateway;
  ASSERT_EQ(filterInit(), 0);
  EXPECT_EQ(filterState, CS_APP_SYNRQ);
  getConfig();
  EXPECT_EQ(filterState, CS_APP_SYNRQ);
  EXPECT_EQ(setAuxInfo(), 0);
  EXPECT_EQ(setTunnelGroup("engineers"), 0);
  EXPECT_EQ(setAuthTypeExt(0), 0);
  uint32_t seconds = 0;
  EXPECT_EQ(getStageTimeout(seconds), 0);
  EXPECT_GT(seconds, 0u);
  uint8_t n = 0;
  EXPECT_EQ(getNextSynNumber(&n), 0);

  EXPECT_EQ(SetIPWhiteList(std::vector<uint32_t>(257, 0xC6336401)), -4);
  EXPECT_EQ(SetIPWhiteList(std::vector<uint32_t>(4603, 0xC6336401)), DRV_REPLY_MALFORMED);
  EXPECT_EQ(SetIPWhiteList({0xC6336401, 0xC6336402, 0, 0xC6336403}), 0);
  EXPECT_EQ(SetDnsUpdateServers({0xC633640A}), 0);
  EXPECT_EQ(SetProtocolsWhiteList(0x11), 0);
  const char names[] = "\x0b" "host.example";
  EXPECT_EQ(SetHostWhiteList(std::vector<uint8_t>(names, names + sizeof names - 1)), 0);
  EXPECT_EQ(setSynProtoVersion(17), 0);
  veskinfotype info;
  EXPECT_EQ(GetVESKInfo(&info), 0);
  getDebugInfo();
  EXPECT_EQ(ServiceLogText().find("getDebugInfo: error"), std::string::npos);
  struct stat st {};
  EXPECT_EQ(stat((std::string(installDir) + "/debug.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  // The filter keeps the flag and answers "not possible": nothing enforces it.
  EXPECT_EQ(setFailRate(true), -5);
  EXPECT_EQ(setFailRate(false), -5);
  firewallinfotype fw;
  EXPECT_EQ(GetFirewallInfo(&fw), 0);
  EXPECT_EQ(getStatusJSON(), "") << "no status text before a connection";

  // Rules: the empty image, a sealed image read back, and one announcing
  // a tail that never comes (the filter keeps what it had).
  EXPECT_EQ(setFilterRulesWithoutConnect0(), 0);
  rulesfileheadertype h{};
  addrobjtype t{};
  h.format = RULES_FORMAT;
  h.word4 = 0x80;
  h.other[0] = 0x5A;
  for (auto& e : t.entries) std::memset(e, 0xFF, 4);
  std::memset(t.entries[0], 0, 12);
  t.entries[0][4] = 0xC6;
  t.count = 1;
  SealRulesHeader(&h);
  SealRulesTable(&t);
  EXPECT_EQ(setFilterRulesWithoutConnect(&h, &t), 0);
  rulesfileheadertype hb{};
  addrobjtype tb{};
  ASSERT_EQ(getFilterRulesWithoutConnect(&hb, &tb), 0);
  EXPECT_EQ(std::memcmp(&hb, &h, sizeof h), 0);
  EXPECT_EQ(std::memcmp(tb.entries, t.entries, sizeof t.entries), 0);
  rulesfileheadertype withTail = h;
  withTail.tailLength = 64;
  withTail.other[0] = 0x77;
  SealRulesHeader(&withTail);
  EXPECT_EQ(setFilterRulesWithoutConnect(&withTail, &t), 0);
  ASSERT_EQ(getFilterRulesWithoutConnect(&hb, &tb), 0);
  EXPECT_EQ(hb.other[0], 0x5A) << "an incomplete image replaced the rules";

  EXPECT_EQ(DisconnectNative("test over", 0, __FILE__, __LINE__), 0);
  EXPECT_EQ(filterState, CS_NOINIT);
  EXPECT_EQ(relay->lookups(), 1);
}

TEST_F(EngineNetnsTest, HandshakeByTheEngineConnectsAndCarriesTraffic) {
  connectTunnel();
  ASSERT_EQ(filterState, CS_CONNECT);
  EXPECT_EQ(network.in_client("ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null"), 0)
      << network.gateway_log();
  uint32_t len = 0;
  veskcfgothertype other{};
  EXPECT_NE(getVeskCfg(&len, &other), nullptr);
  // The record as the filter wrote it, read where the daemon reads it: the
  // client's own tunnel address, the gateway and the session the simulator
  // granted (its default), the group the client asked for (none).
  EXPECT_EQ(other.tunnel_addr, 0xCB007102u);
  EXPECT_EQ(other.gateway_addr, kGateway);
  EXPECT_EQ(other.session_id, 0x5e551011u);
  EXPECT_STREQ(other.tunnel_group, "");
  EXPECT_NE(getStatusJSON(), "");
  clientstatstype stats;
  EXPECT_EQ(getStatistics(0, 0, &stats), 0);
  std::list<std::string> suffixes;
  int32_t sr = getDnsSuffixes(suffixes);
  std::string country;
  int32_t cr = getCountryCode(country);
  uint8_t level = 0;
  int flag = 0;
  int32_t ar = getAccessLevel(&level, &flag);
  EXPECT_EQ(sr, -2) << "the simulator supplies no suffixes";
  EXPECT_TRUE(suffixes.empty());
  EXPECT_EQ(cr, 0);
  EXPECT_EQ(country.size(), 2u);
  EXPECT_EQ(ar, 0);
  EXPECT_EQ(DisconnectNative("test over", 1, __FILE__, __LINE__), 0);
  EXPECT_EQ(filterState, CS_NOINIT);
  EXPECT_NE(network.in_client("ping -q -c 1 -W 1 198.51.100.10 >/dev/null 2>&1"), 0);
}

TEST_F(EngineNetnsTest, HostEventsReachTheDispatcher) {
  int32_t port = DriverEventCreate();
  ASSERT_GT(port, 0);
  ASSERT_EQ(SetServicePID(static_cast<uint32_t>(port)), 1);
  ASSERT_TRUE(waitFor([] { return driverevent_child_started.load(); }, 2000));
  // Stand-by prepare (code 5, no name), then its end (AFTER_STANDBY), which
  // clears what is still queued: one at a time.
  kill(network.net().host_pid(), SIGUSR1);
  ASSERT_TRUE(waitFor([] { return ServiceLogText().find("Signal from drv <unknown>") != std::string::npos; }, 5000));
  kill(network.net().host_pid(), SIGUSR2);
  ASSERT_TRUE(waitFor([] { return ServiceLogText().find("Driver after-standby cleanup") != std::string::npos; }, 5000));
  ASSERT_TRUE(waitFor(
      [] {
        std::lock_guard<std::mutex> lock(g_pushLock);
        return !g_pushes.empty();
      },
      2000));
  EXPECT_EQ(g_pushes[0].code, MSG_STATE_CHANGED);
  EXPECT_EQ(g_pushes[0].value2, STATE_MSG_STANDBY_CLEANUP);
  EXPECT_NE(ServiceLogText().find("Daemon driver event process was started with pid: " + std::to_string(port)),
            std::string::npos);
  // Each confirmation fetched one code.
  EXPECT_TRUE(waitFor([&] { return relay->requests(IOCTL_CONFIRM) == relay->requests(IOCTL_GETCODE); }, 1000));
  EXPECT_GE(relay->requests(IOCTL_GETCODE), 2);
}

TEST_F(EngineNetnsTest, BoundAdapterGoingDownAndUpEndsTheTunnel) {
  connectTunnel();
  ASSERT_EQ(filterState, CS_CONNECT);
  g_notified_filterState = CS_CONNECT;  // the clients know the tunnel is up
  int32_t port = DriverEventCreate();
  ASSERT_EQ(SetServicePID(static_cast<uint32_t>(port)), 1);
  ASSERT_EQ(network.in_client("ip link set tap0 down"), 0);
  ASSERT_EQ(network.in_client("ip link set tap0 up"), 0);
  EXPECT_TRUE(waitFor([] { return ServiceLogText().find("DrvSendEvent_RECONNECT_IFNEEDED") != std::string::npos; },
                      5000));
  EXPECT_TRUE(waitFor([] { return filterState == CS_NOINIT; }, 2000));
  EXPECT_TRUE(waitFor(
      [] {
        std::lock_guard<std::mutex> lock(g_pushLock);
        for (auto& m : g_pushes)
          if (m.code == MSG_STATE_CHANGED && m.result == CS_NOINIT && m.value2 == STATE_MSG_RECONNECT) return true;
        return false;
      },
      2000));
}

TEST_F(EngineNetnsTest, GatewayStatusEndsTheSessionAndTellsTheOwner) {
  connectTunnel();
  ASSERT_EQ(filterState, CS_CONNECT);
  int32_t port = DriverEventCreate();
  ASSERT_EQ(SetServicePID(static_cast<uint32_t>(port)), 1);
  g_TunnelOwnerClientN = 5;
  ASSERT_TRUE(network.gateway_command("status 31"));
  ASSERT_TRUE(waitFor(
      [] {
        std::lock_guard<std::mutex> lock(g_pushLock);
        for (auto& m : g_pushes)
          if (m.code == MSG_SESSION_END) return true;
        return false;
      },
      5000))
      << ServiceLogText();
  std::lock_guard<std::mutex> lock(g_pushLock);
  for (auto& m : g_pushes) {
    if (m.code == MSG_SESSION_END) {
      EXPECT_EQ(m.value1, SESSION_END_TIMEOUT);
    }
  }
  EXPECT_EQ(g_TunnelOwnerClientN.load(), -1);
}

// The gateway's port closes while the tunnel is up: the refusal of the
// tunnel's next datagram comes back to the daemon's gateway socket, whose
// SIGIO path ends the tunnel.
TEST_F(EngineNetnsTest, ClosedGatewayPortEndsTheTunnel) {
  connectTunnel();
  ASSERT_EQ(filterState, CS_CONNECT);
  network.stop_gateway();
  network.in_client("ping -q -c 2 -i 0.2 -W 1 198.51.100.10 >/dev/null 2>&1");
  EXPECT_TRUE(waitFor([&] { return relay->requests(RQC_DISCONNECT) == 1; }, 5000)) << ServiceLogText();
  EXPECT_EQ(filterState, CS_NOINIT);
  EXPECT_NE(ServiceLogText().find("VESK socket receive error"), std::string::npos);
}

void noWait(uint32_t) {}

// The filter builds the probe and it crosses to the real gateway address;
// the simulator does not answer availability probes, so the timer gives up
// after its 50 tries and the engine leaves the tunnel alone (the answered
// probe is proved on loopback). The simulator drops its own session on any
// handshake datagram, so traffic is not tried afterwards.
TEST_F(EngineNetnsTest, FirstGatewayTimerWithoutAnswerKeepsTheTunnel) {
  connectTunnel();
  ASSERT_EQ(filterState, CS_CONNECT);
  connect_data.profileId = 1;
  UseServiceAlternalVESKIP = 1;
  ReconnectToFirstVESK_wait = noWait;
  ReconnectToFirstVESKwait_thread_function(5, g_tunnel_generation.load());
  EXPECT_NE(network.gateway_log().find("refused: SYN RQ without the client's key"), std::string::npos)
      << "the probe did not reach the gateway";
  EXPECT_NE(ServiceLogText().find("First VESK isn't available"), std::string::npos);
  EXPECT_EQ(getFilterInfo(), 1);
  EXPECT_EQ(filterState, CS_CONNECT);
  EXPECT_EQ(relay->requests(RQC_DISCONNECT), 0);
  std::lock_guard<std::mutex> lock(g_pushLock);
  EXPECT_TRUE(g_pushes.empty());
}

}  // namespace
}  // namespace enginetest
