#include "Service/common/core/tunnel_settings.h"

#include <cstring>
#include <mutex>
#include <string>

#include "Service/common/core/client_commands.h"
#include "Service/common/core/connect_requests.h"
#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/local_rules.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"

namespace {

#define logLine(text) GetLog().WriteToLogFL(__FILE__, __LINE__, "TunnelSettings", std::string(text).c_str())

// The kinds of setting, each dropped as a whole.
enum Kind : unsigned {
  kRules = 1,  // commands 16 and 17: the rules image and its texts
  kGroup = 2,
  kHosts = 4,  // the filter clears its address list with it
  kAddresses = 8,
  kProtocols = 16,
  kFailRate = 32,
  kRadius = 64,
};

// Taken inside mtx_process_message (a command) or mtx_connecting_vesk (a
// connect); the filter's channel and mtx_reg_clients are taken inside it.
std::mutex mtx_tunnel_settings;

unsigned kindOf(uint32_t code) {
  switch (code) {
    case IPC_CMD_SET_RULES:
    case IPC_CMD_SET_SS_LIST: return kRules;
    case IPC_CMD_SET_TUNNEL_GROUP: return kGroup;
    case IPC_CMD_SET_HOST_WHITELIST: return kHosts;
    case IPC_CMD_SET_IP_WHITELIST: return kAddresses;
    case IPC_CMD_SET_PROTOCOLS_WHITELIST: return kProtocols;
    case IPC_CMD_SET_FAIL_RATE: return kFailRate;
    case IPC_CMD_SET_RADIUS_CREDENTIALS: return kRadius;
  }
  return 0;
}

std::string userOf(int client) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  auto it = clients_list.find(client);
  return it != clients_list.end() ? it->second.user : "";
}

// The start-up values of each kind back: the empty rules the daemon loads
// at start-up, and for what only the filter keeps (its lists, protocol
// mask, tunnel group and fail-rate switch) the values a filter starts with.
void restoreStartValues(unsigned kinds) {
  if (kinds & kRules) {
    memset(RULES, 0, sizeof RULES);
    memset(ATABLE, 0, sizeof ATABLE);
    initSSList(&SS, SS_ENTRY_SIZE);
    setFilterRulesWithoutConnect0();
  }
  if (kinds & kGroup) setTunnelGroup("");
  if (kinds & kHosts) SetHostWhiteList({});
  if (kinds & kAddresses) SetIPWhiteList({});
  if (kinds & kProtocols) SetProtocolsWhiteList(0);
  if (kinds & kFailRate) setFailRate(false);
  if (kinds & kRadius) {
    DRV_Wipe(radius_login, sizeof radius_login);
    DRV_Wipe(radius_password, sizeof radius_password);
  }
}

// The settings become user's: another user's are dropped first. Returns
// whether they were another user's. mtx_tunnel_settings held.
bool takeFor(const std::string& user, const char* what) {
  TunnelSettingsOwner& o = tunnel_settings_owner;
  if (o.user == user) return false;
  if (o.changed != 0) {
    logLine("Settings of user " + o.user + " dropped before " + what + " of user " + user +
            ": their start-up values are back");
    restoreStartValues(o.changed);
  }
  bool others = !o.user.empty();
  o.user = user;
  o.changed = 0;
  return others;
}

}  // namespace

namespace core {

bool ChangesTunnelSettings(uint32_t code) { return kindOf(code) != 0; }

bool ChangeTunnelSettings(int requester, uint32_t code, const std::function<void()>& change) {
  std::string user = userOf(requester);
  std::lock_guard<std::mutex> lock(mtx_tunnel_settings);
  TunnelSettingsOwner& o = tunnel_settings_owner;
  if (o.attempt && o.user != user) return false;
  // The owner asked again under this lock: a connect names its tunnel's
  // owner before its attempt's mark goes, so a command that passed the
  // dispatcher's look at the owner before it was named cannot land
  // on the tunnel once it is up.
  if (!MayActOnTheTunnel(requester)) return false;
  takeFor(user, ("command " + std::to_string(code)).c_str());
  change();
  o.changed |= kindOf(code);
  return true;
}

TunnelSettingsOfAttempt::TunnelSettingsOfAttempt(int requester) {
  std::string user = userOf(requester);
  std::lock_guard<std::mutex> lock(mtx_tunnel_settings);
  if (takeFor(user, "a connect") && filterState != CS_NOINIT && filterState != CS_CONNECT) {
    logLine("The stopped attempt of another user is not resumed");
    disConnect("Another user's stopped attempt", 0, __FILE__, __LINE__);
    filterState = CS_NOINIT;
  }
  tunnel_settings_owner.attempt = true;
}

TunnelSettingsOfAttempt::~TunnelSettingsOfAttempt() {
  std::lock_guard<std::mutex> lock(mtx_tunnel_settings);
  tunnel_settings_owner.attempt = false;
}

}  // namespace core
