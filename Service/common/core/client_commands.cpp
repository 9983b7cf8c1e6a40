#include "Service/common/core/client_commands.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Service/common/core/connect_requests.h"
#include "Service/common/core/process_lookup.h"
#include "Service/common/core/tunnel_settings.h"
#include "Service/common/core/wiped_message.h"
#include "Service/common/dns/suffix_baseline.h"
#include "Service/common/engine/adapter_binding.h"
#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/local_rules.h"
#include "crypto/crc32.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"
#include "cross/utils/registry.h"
#include "cross/utils/service_hooks.h"

std::mutex mtx_process_message;

namespace {

#define logLine(function, text) GetLog().WriteToLogFL(__FILE__, __LINE__, function, std::string(text).c_str())

// Message byte offsets are written as they are documented: byte N of the
// message is payload[N - 20].
const size_t kPayloadAt = 20;
// Command 15 answers as many of the SS list's entries as fit.
const size_t kMaxSSEntries = IPC_PAYLOAD_SIZE / SS_ENTRY_SIZE;  // 383
// Command 25's addresses must lie inside the message.
const uint64_t kMaxWhiteListAddresses = (IPC_PAYLOAD_SIZE - 8) / 4;  // 4601
const size_t kNicRecordsRoom = IPC_PAYLOAD_SIZE / sizeof(tSTRUCTNICINFO);
// Bit 31 of an address-table entry's first word marks it unused.
const uint32_t kEntryUnused = 0x80000000u;
const size_t kAtableCount = 3072, kAtableCheck = 3076, kAtableEntries = 256, kAtableEntrySize = 12;

struct Command {
  const ServicePipeMessage_t& req;
  ServicePipeMessage_t& reply;
  ServicePipeMessage_t& broadcast;
};

uint8_t* at(ServicePipeMessage_t& m, size_t offset) { return m.payload + (offset - kPayloadAt); }
const uint8_t* at(const ServicePipeMessage_t& m, size_t offset) { return m.payload + (offset - kPayloadAt); }

template <typename T>
T get(const ServicePipeMessage_t& m, size_t offset) {
  T v;
  memcpy(&v, at(m, offset), sizeof v);
  return v;
}

template <typename T>
void put(ServicePipeMessage_t& m, size_t offset, T v) {
  memcpy(at(m, offset), &v, sizeof v);
}

// The request's text at byte 20, or null when it has no NUL inside the message.
const char* terminatedText(const ServicePipeMessage_t& m) {
  return memchr(m.payload, 0, IPC_PAYLOAD_SIZE) != nullptr ? reinterpret_cast<const char*>(m.payload) : nullptr;
}

void sealAtable() {
  uint32_t check = ~FCS32(ATABLE, kAtableCheck);
  memcpy(ATABLE + kAtableCheck, &check, 4);
}

uint32_t atableCount() {
  uint32_t c;
  memcpy(&c, ATABLE + kAtableCount, 4);
  return c;
}

void setAtableCount(uint32_t c) {
  memcpy(ATABLE + kAtableCount, &c, 4);
  sealAtable();
}

int loadRules() {
  return setFilterRulesWithoutConnect(reinterpret_cast<const rulesfileheadertype*>(RULES),
                                      reinterpret_cast<const addrobjtype*>(ATABLE));
}

void registryGet(Command& c, const char* name) {
  int value = 1;
  Registry_RegGetValueInt(installDir, name, &value);
  put<int32_t>(c.reply, 20, value);
}

void registrySet(Command& c, const char* name) {
  Registry_RegSetValueLongIntHex(installDir, name, get<int32_t>(c.req, 20));
}

// ---- the commands -------------------------------------------------------

void unregisterClient(Command& c) {
  logLine("AnswerClientMessage", "Untegistrering");
  std::lock_guard<std::mutex> vesk(mtx_connecting_vesk);
  int requester = c.req.clientN;
  uint32_t type = get<uint32_t>(c.req, 20);
  int owner = g_TunnelOwnerClientN;
  bool isOwner = requester == owner;
  std::string user = "";
  int socks[3] = {-1, -1, -1};
  size_t left = 0;
  {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    auto it = clients_list.find(requester);
    if (it != clients_list.end()) {
      user = it->second.user;
      socks[0] = it->second.clientServerSock;
      socks[1] = it->second.serverClientSock;
      socks[2] = it->second.connectionSock;
      it->second.closed->exchange(true);
    } else {
      logLine("AnswerClientMessage", "Unregister: client already removed");
    }
    left = clients_list.size();
  }
  logLine("AnswerClientMessage", "Client type " + std::to_string(type));
  if (type == 0) {
    if (isOwner) {
      if (filterState == CS_CONNECT) {
        const char reason[] = "Tunnel owner unregistered while connected";
        disConnect(reason, 0, __FILE__, __LINE__);
        suffix_baseline::RestoreSuffixesAfterUnmanagedDisconnect(reason);
      }
      logLine("AnswerClientMessage", "Disconnected from VESK");
      c.broadcast.code = IPC_MSG_STATE_CHANGED;
      c.broadcast.result = filterState;
    } else if (owner >= 0) {
      logLine("AnswerClientMessage", "Non-owner client " + std::to_string(requester) + " unregistering, owner is " +
                                         std::to_string(owner) + " - tunnel kept");
    } else {
      logLine("AnswerClientMessage", "Client " + std::to_string(requester) +
                                         " unregistering, no tunnel owner (filter state " +
                                         std::to_string(filterState) + ")");
    }
    c.reply.result = filterState;
  }
  logLine("AnswerClientMessage", "Unregistered. Client number " + std::to_string(requester) + " (" + user + ")");
  logLine("AnswerClientMessage", "Unregistered. Client sock cl_srv " + std::to_string(socks[0]));
  logLine("AnswerClientMessage", "Unregistered. Client sock srv_cl " + std::to_string(socks[1]));
  logLine("AnswerClientMessage", "Unregistered. Client sock connection " + std::to_string(socks[2]));
  logLine("AnswerClientMessage", "Unregistered. Clients list size = " + std::to_string(left));
  if (type == 0 && isOwner) setFilterRulesWithoutConnect0();
}

void getState(Command& c) {
  int owner = g_TunnelOwnerClientN;
  if (owner >= 0 && owner != c.req.clientN) return;
  c.reply.result = filterState;
  c.reply.value1 = connect_attempt_running ? IPC_STATE_ATTEMPT_RUNNING : 0;
}

void getGatewayCfg(Command& c) {
  uint32_t len = 0;
  veskcfgothertype other{};
  const uint8_t* cfg = getVeskCfg(&len, &other);
  if (cfg == nullptr) return;
  len = std::min<uint32_t>(len, VESKCFG_ROOM);
  c.reply.result = 1;
  c.reply.value1 = len;
  c.reply.value2 = other.all_through_gateway;
  memcpy(c.reply.payload, cfg, len);
}

void getRules(Command& c) {
  c.reply.result = sizeof RULES;
  c.reply.value1 = sizeof ATABLE;
  memcpy(at(c.reply, 20), RULES, sizeof RULES);
  memcpy(at(c.reply, 52), ATABLE, sizeof ATABLE);
}

void getSSList(Command& c) {
  uint32_t n = 0;
  for (SSListEntry* e = SS.head; e != nullptr && n < kMaxSSEntries; e = e->next, n++) {
    memcpy(c.reply.payload + n * SS_ENTRY_SIZE, e->text, strnlen(e->text, SS_ENTRY_SIZE));
  }
  c.reply.result = n;
}

// Refused (result 0, nothing changed) unless both parts lie in the message
// and fit the rules' own sizes.
void setRules(Command& c) {
  int32_t r = static_cast<int32_t>(c.req.result), t = static_cast<int32_t>(c.req.value1);
  if (r < 0 || t < 0 || r > static_cast<int32_t>(sizeof RULES) || t > static_cast<int32_t>(sizeof ATABLE)) return;
  memcpy(RULES, c.req.payload, static_cast<size_t>(r));
  memcpy(ATABLE, c.req.payload + r, static_cast<size_t>(t));
  c.reply.result = static_cast<uint32_t>(loadRules());
  c.broadcast.code = IPC_MSG_RULES_CHANGED;
  c.broadcast.result = static_cast<uint32_t>(r);
  c.broadcast.value1 = static_cast<uint32_t>(t);
  memcpy(c.broadcast.payload, RULES, static_cast<size_t>(r));
  memcpy(c.broadcast.payload + r, ATABLE, static_cast<size_t>(t));
}

// The filter is given only the used entries' count; the daemon keeps the
// full one (the entries are never moved).
int loadRulesWithUsedCount() {
  uint32_t full = atableCount();
  uint32_t used = 0;
  for (uint32_t i = 0; i < full && i < kAtableEntries; i++) {
    uint32_t first;
    memcpy(&first, ATABLE + i * kAtableEntrySize, 4);
    if ((first & kEntryUnused) == 0) used++;
  }
  setAtableCount(used);
  int result = loadRules();
  setAtableCount(full);
  return result;
}

// Refused (result 0, nothing changed) when the entries do not lie inside the
// message, or when several entries have a stride of 0 (they would all be
// the same text, up to 2^31 times); each entry keeps at most 48 characters.
void setSSList(Command& c) {
  int32_t n = static_cast<int32_t>(c.req.result);
  uint32_t stride = c.req.value1;
  if (n > 0 && static_cast<uint64_t>(n) * stride > IPC_PAYLOAD_SIZE) return;
  if (n > 1 && stride == 0) return;
  initSSList(&SS, SS_ENTRY_SIZE);
  for (int32_t i = 0; i < n; i++) {
    size_t offset = static_cast<size_t>(i) * stride;
    char entry[SS_ENTRY_SIZE + 1] = {};
    memcpy(entry, c.req.payload + offset, std::min<size_t>(SS_ENTRY_SIZE, IPC_PAYLOAD_SIZE - offset));
    addSSList(&SS, entry);
  }
  c.reply.result = static_cast<uint32_t>(loadRulesWithUsedCount());
  c.broadcast.code = IPC_MSG_SS_LIST_CHANGED;
  c.broadcast.result = static_cast<uint32_t>(n);
  c.broadcast.value1 = stride;
  if (n > 0) memcpy(c.broadcast.payload, c.req.payload, static_cast<size_t>(n) * stride);
}

void getStatisticsCmd(Command& c) {
  c.reply.result = static_cast<uint32_t>(
      getStatistics(c.req.result, c.req.value1, reinterpret_cast<clientstatstype*>(c.reply.payload)));
}

void getDrvQueues(Command& c) {
  std::vector<uint8_t> out;
  uint32_t got = 0;
  if (DRV_RawRequest(IOCTL_GETDRVQUEUES, nullptr, 0, out, &got) == 0 && got >= 4 && out.size() >= 4) {
    memcpy(&c.reply.result, out.data(), 4);
  }
}

void getDrvInfo(Command& c) {
  c.reply.result = sizeof drvInfo;
  memcpy(c.reply.payload, &drvInfo, sizeof drvInfo);
}

void getVersion(Command& c) {
  c.reply.result = 1;
  // Nothing sets the numeric version words: they stay 0 (bytes 20-39).
  memcpy(at(c.reply, 40), versionText, sizeof versionText);
  memcpy(at(c.reply, 72), installDir, sizeof installDir);
}

void setTunnelGroupCmd(Command& c) {
  if (const char* name = terminatedText(c.req)) c.reply.result = static_cast<uint32_t>(setTunnelGroup(name));
}

// Decision: the host white list is the request's text up to its NUL, handed
// to the engine as it is.
void setHostWhiteList(Command& c) {
  const char* text = terminatedText(c.req);
  if (text == nullptr) return;
  std::vector<uint8_t> names(text, text + strlen(text));
  c.reply.result = static_cast<uint32_t>(SetHostWhiteList(names));
}

void setIPWhiteList(Command& c) {
  uint64_t n = get<uint64_t>(c.req, 20);
  logLine("AnswerClientMessage", "IP size " + std::to_string(n));
  logLine("AnswerClientMessage", "IP " + std::to_string(get<uint32_t>(c.req, 28)));
  if (n > kMaxWhiteListAddresses) return;  // the addresses would lie past the message
  std::vector<uint32_t> addresses(n);
  if (n > 0) memcpy(addresses.data(), at(c.req, 28), n * 4);
  c.reply.result = static_cast<uint32_t>(SetIPWhiteList(addresses));
}

void setProtocolsWhiteList(Command& c) {
  c.reply.result = static_cast<uint32_t>(SetProtocolsWhiteList(get<uint32_t>(c.req, 20)));
}

void setFailRateCmd(Command& c) { c.reply.result = static_cast<uint32_t>(setFailRate(c.req.payload[0] != 0)); }

void applyDnsSuffixes(Command& c) {
  if (filterState == CS_CONNECT) {
    suffix_baseline::PreConnectSettings(c.req.clientN);
  } else {
    logLine("AnswerClientMessage", "PreConnectSettings skipped, filter state: " + std::to_string(filterState));
  }
}

void interruptConnect(Command&) { interrupt_connection = true; }

void findSessionHelper(Command& c) {
  std::string path = getProcessPathByName("kestrl3_session");
  if (path.empty()) return;
  size_t len = std::min<size_t>(path.size(), IPC_PAYLOAD_SIZE - 8);
  c.reply.result = 1;
  put<uint64_t>(c.reply, 20, len);
  memcpy(at(c.reply, 28), path.data(), len);
}

// The interface list is read into a buffer of its own size first: the reply
// holds only as many records as fit the message.
void listNics(Command& c) {
  int count = 0;
  int result = GetNICs(&count, nullptr, 0);
  if (result != 0) {
    c.reply.result = static_cast<uint32_t>(result);
    return;
  }
  std::vector<tSTRUCTNICINFO> records(static_cast<size_t>(count) + 16);
  result = GetNICs(&count, records.data(), records.size());
  size_t copied = std::min<size_t>(static_cast<size_t>(count), kNicRecordsRoom);
  c.reply.result = static_cast<uint32_t>(result);
  c.reply.value1 = static_cast<uint32_t>(copied);
  memcpy(c.reply.payload, records.data(), copied * sizeof(tSTRUCTNICINFO));
}

void adapterMtu(Command& c) {
  const char* name = terminatedText(c.req);
  if (name == nullptr) return;
  uint32_t value = c.req.result;
  c.reply.result = static_cast<uint32_t>(getsetAdapterMtu(name, &value));
}

void getFirewallInfo(Command& c) {
  c.reply.result = GetFirewallInfo(reinterpret_cast<firewallinfotype*>(c.reply.payload)) == 0 ? 0 : 1;
}

void setRadiusCredentials(Command& c) {
  memcpy(radius_login, at(c.req, 312), sizeof radius_login);
  memcpy(radius_password, at(c.req, 376), sizeof radius_password);
}

void reserved39(Command& c) { c.reply.result = 1; }

void countWindows(Command& c) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  c.reply.result = 1;
  c.reply.value1 = static_cast<uint32_t>(Zor::OpenWindow::CountWindowClients(clients_list, c.req.clientN));
  c.broadcast.code = IPC_MSG_WINDOW_COUNT;
}

void nothing(Command&) {}

using Handler = void (*)(Command&);

// Commands that change the tunnel's rules and settings or the owner's stored
// switches, read the tunnel's configuration and figures, or act on the
// machine for it: while the tunnel has an owner they are served to the
// clients of the owner's user only; others get result 0, as command 1
// answers a client that does not own the tunnel.
bool ownersUserOnly(uint32_t code) {
  switch (code) {
    case IPC_CMD_GET_GATEWAY_CFG:
    case IPC_CMD_SET_FLUSHDNS:
    case IPC_CMD_SET_RESTARTADAPTERS:
    case IPC_CMD_GET_RULES:
    case IPC_CMD_SET_RULES:
    case IPC_CMD_SET_SS_LIST:
    case IPC_CMD_GET_STATISTICS:
    case IPC_CMD_SET_TUNNEL_GROUP:
    case IPC_CMD_SET_HOST_WHITELIST:
    case IPC_CMD_SET_IP_WHITELIST:
    case IPC_CMD_SET_PROTOCOLS_WHITELIST:
    case IPC_CMD_SET_FAIL_RATE:
    case IPC_CMD_APPLY_DNS_SUFFIXES:
    case IPC_CMD_ADAPTER_MTU:
    case IPC_CMD_GET_FIREWALL_INFO:
    case IPC_CMD_SET_RADIUS_CREDENTIALS: return true;
  }
  return false;
}

Handler handlerFor(uint32_t code) {
  switch (code) {
    case IPC_CMD_UNREGISTER: return unregisterClient;
    case IPC_CMD_GET_STATE: return getState;
    case IPC_CMD_GET_GATEWAY_CFG: return getGatewayCfg;
    case IPC_CMD_GET_FLUSHDNS: return [](Command& c) { registryGet(c, "FlushDNS"); };
    case IPC_CMD_SET_FLUSHDNS: return [](Command& c) { registrySet(c, "FlushDNS"); };
    case IPC_CMD_SET_RESTARTADAPTERS: return [](Command& c) { registrySet(c, "RestartAdapters"); };
    case IPC_CMD_GET_RESTARTADAPTERS: return [](Command& c) { registryGet(c, "RestartAdapters"); };
    case IPC_CMD_GET_RULES: return getRules;
    case IPC_CMD_GET_SS_LIST: return getSSList;
    case IPC_CMD_SET_RULES: return setRules;
    case IPC_CMD_SET_SS_LIST: return setSSList;
    case IPC_CMD_GET_STATISTICS: return getStatisticsCmd;
    case IPC_CMD_GET_DRV_QUEUES: return getDrvQueues;
    case IPC_CMD_GET_DRV_INFO: return getDrvInfo;
    case IPC_CMD_DEBUG_INFO: return [](Command&) { getDebugInfo(); };
    case IPC_CMD_GET_VERSION: return getVersion;
    case IPC_CMD_SET_TUNNEL_GROUP: return setTunnelGroupCmd;
    case IPC_CMD_SET_HOST_WHITELIST: return setHostWhiteList;
    case IPC_CMD_SET_IP_WHITELIST: return setIPWhiteList;
    case IPC_CMD_SET_PROTOCOLS_WHITELIST: return setProtocolsWhiteList;
    case IPC_CMD_SET_FAIL_RATE: return setFailRateCmd;
    case IPC_CMD_APPLY_DNS_SUFFIXES: return applyDnsSuffixes;
    case IPC_CMD_PING: return nothing;
    case IPC_CMD_INTERRUPT_CONNECT: return interruptConnect;
    case IPC_CMD_FIND_SESSION_HELPER: return findSessionHelper;
    case IPC_CMD_LIST_NICS: return listNics;
    case IPC_CMD_ADAPTER_MTU: return adapterMtu;
    case IPC_CMD_GET_FIREWALL_INFO: return getFirewallInfo;
    case IPC_CMD_SET_RADIUS_CREDENTIALS: return setRadiusCredentials;
    case IPC_CMD_RESERVED_38: return nothing;
    case IPC_CMD_RESERVED_39: return reserved39;
    case IPC_CMD_COUNT_WINDOWS: return countWindows;
    case IPC_CMD_RESERVED_41: return nothing;
  }
  return nullptr;  // no entry: the request goes back unchanged
}


}  // namespace

namespace core {

void AnswerClientMessage(ServicePipeMessage_t* message) {
  if (message == nullptr) {
    logLine("AnswerClientMessage", "Wrong message NULL");
    return;
  }
  Handler handler = handlerFor(message->code);
  if (handler == nullptr) return;
  WipedMessage reply(message->code), broadcast(IPC_MSG_NONE);
  {
    std::lock_guard<std::mutex> lock(mtx_process_message);
    Command c{*message, *reply.msg, *broadcast.msg};
    uint32_t code = message->code;
    int requester = message->clientN;
    if (ownersUserOnly(code) && !MayActOnTheTunnel(requester)) {
      logLine("AnswerClientMessage", "Command " + std::to_string(code) + " of client " + std::to_string(requester) +
                                         " refused: the tunnel of client " + std::to_string(g_TunnelOwnerClientN) +
                                         " belongs to another user");
    } else if (!ChangesTunnelSettings(code)) {
      handler(c);
    } else if (!ChangeTunnelSettings(requester, code, [&] { handler(c); })) {
      logLine("AnswerClientMessage", "Command " + std::to_string(code) + " of client " + std::to_string(requester) +
                                         " refused: a connect attempt of another user runs");
    }
  }
  reply.msg->clientN = message->clientN;
  memcpy(message, reply.msg.get(), sizeof *message);
  // Sent after the command lock is given back: a client slow to take its
  // pushes delays only the pushes, never the other clients' commands.
  if (broadcast.msg->code != IPC_MSG_NONE) {
    broadcast.msg->clientN = message->clientN;
    IPC_SendToClient(broadcast.msg.get(), -1);
  }
}

}  // namespace core
