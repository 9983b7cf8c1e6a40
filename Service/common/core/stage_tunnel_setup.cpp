// The last stage of an attempt: the tunnel's set-up once the filter is
// connected (the adapter, the status, the gateway's configuration and the
// rules for the client, the timer back to the first gateway).
#include <cstdio>
#include <cstring>
#include <string>

#include "Service/common/core/connect_attempt.h"
#include "Service/common/core/status_file.h"
#include "Service/common/core/wiped_message.h"
#include "Service/common/engine/adapter_binding.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/first_gateway_reconnect.h"
#include "cross/common/drv_error.h"
#include "cross/utils/dns_flush.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/registry.h"

namespace connect_attempt {

namespace {

const uint32_t kFirstGatewayWaitMax = 60;  // minutes

std::string flagLine(const char* name, bool on) { return std::string("\t\t") + name + (on ? " +\n" : " -\n"); }

// The log text of the connection's flags; sets "FlushDNS" when the gateway asks.
std::string connectionFlags(const veskcfgothertype& cfg) {
  std::string text;
  if (cfg.all_through_gateway != 0) text += "\tAllAdrVpnPortViaVesk +\n";
  bool radius = cfg.session_id != 0 || cfg.gateway_addr != 0;
  text += radius ? "\tRADIUS session +\n" : "\tRADIUS session -\n";
  text += "\tLocal settings received from VESK\n";
  uint32_t f = cfg.local_flags;
  text += flagLine("CCLSF_BLOCKNOIPPACK", f & CCLSF_BLOCKNOIPPACK);
  text += flagLine("CCLSF_BLOCKNOVPNIPPACK", f & CCLSF_BLOCKNOVPNIPPACK);
  text += flagLine("CCLSF_BLOCKNOVPNINTCPICMP", f & CCLSF_BLOCKNOVPNINTCPICMP);
  text += flagLine("CCLSF_FLUSHDNS", f & CCLSF_FLUSHDNS);
  if (f & CCLSF_FLUSHDNS) Registry_RegSetValueLongIntHex(installDir, "FlushDNS", 1);
  return text;
}

void pushRules(int client) {
  WipedMessage rules(IPC_MSG_RULES_ON_CONNECT);
  rules.msg->result = sizeof RULES;
  rules.msg->value1 = sizeof ATABLE;
  memcpy(rules.msg->payload, RULES, sizeof RULES);
  memcpy(rules.msg->payload + sizeof RULES, ATABLE, sizeof ATABLE);
  IPC_SendToClient(rules.msg.get(), client);
}

void startFirstGatewayTimer() {
  int minutes = 0;
  if (!Registry_RegGetValueInt(installDir, "RECONNECT_FIRSTVESK_WAIT", &minutes)) return;
  if (minutes > static_cast<int>(kFirstGatewayWaitMax)) {
    Registry_RegSetValueLongIntHex(installDir, "RECONNECT_FIRSTVESK_WAIT", kFirstGatewayWaitMax);
    minutes = kFirstGatewayWaitMax;
  }
  if (minutes <= 0) return;
  StartReconnectToFirstVESK(static_cast<uint32_t>(minutes));
  logLine("Timer for reconnecting with first VESK was set");
}

}  // namespace

bool connected(Attempt& a) {
  if (setAdapter(connect_data.gatewayIp, 1) != 0) {
    DISCONNECT("Failed to set VPN adapter after connect");
    logLine("CS_NOINIT FilterSetVPNAdapter error " + GetDrvError(CONNECT_ERR_ADAPTER));
    return a.fail(CONNECT_INIT_FAILED, CONNECT_ERR_ADAPTER);
  }
  logLine("CS_CONNECT");
  UseServiceAlternalVESKIP = static_cast<uint32_t>(a.alternative);
  SetStatusToRegistry(1);
  flushDNSIf();
  std::string text = "\nConnection and local flags: \n";
  uint32_t length = 0;
  veskcfgothertype cfg{};
  if (const uint8_t* entries = getVeskCfg(&length, &cfg)) {
    VPN_IP = dotted(cfg.tunnel_addr);
    logLine("VPN IP: " + VPN_IP);
    PrintDynCfg(entries, length);
    text += connectionFlags(cfg);
    pushRules(a.client);
    std::string status = getStatusJSON();
    std::string country;
    getCountryCode(country);
    CacheConnectedStatusJson(status, cfg, country, field(radius_login_json), field(connect_data.certText));
  }
  logLine(text);
  if (UseServiceAlternalVESKIP != 0) startFirstGatewayTimer();
  a.result = CONNECT_OK;
  return true;
}

}  // namespace connect_attempt

using namespace connect_attempt;

std::string DynCfgText(const uint8_t* entries, uint32_t length) {
  if (length == 0) return "";
  std::string text = "\n\n----- Dynamic configuration info -----\n";
  for (uint32_t i = 0; i + 12 <= length; i += 12) {
    uint32_t ip = u32At(entries + i), prefix = u32At(entries + i + 4), kind = u32At(entries + i + 8);
    char line[64];
    snprintf(line, sizeof line, "\t%03u.%03u.%03u.%03u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
    text += line;
    if (prefix != 32) text += " / " + num(prefix);
    if (kind == 0) text += " (dns)";
    else if (kind != 1) text += " (" + num(kind) + ")";
    text += "\n";
  }
  return text;
}

void PrintDynCfg(const uint8_t* entries, uint32_t length) {
  if (length == 0) return;
  GetLog().WriteToLogFL(kConnectionStagesSource, __LINE__, "PrintDynCfg", DynCfgText(entries, length).c_str());
}
