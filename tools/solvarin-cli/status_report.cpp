#include "tools/solvarin-cli/status_report.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Service/common/engine/engine_state.h"
#include "kernel/filter/address_table.h"
#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/output.h"
#include "tools/solvarin-cli/owner_channel.h"
#include "tools/solvarin-cli/reply_words.h"

namespace {

// The gateway's UDP port: where the tunnel runs to.
const uint16_t kGatewayPort = 87;

struct OwnerView {
  pid_t pid = 0;  // 0: no `up` of this user
  uint32_t state = 0;
  std::string gateway, group;
};

struct TableFigures {
  uint32_t gateway = 0;  // host order; 0 none
  uint64_t counters[4] = {};
};

// This user's `up`, when one answers.
OwnerView askOwner() {
  OwnerView view;
  std::vector<std::string> lines;
  int code = 0;
  if (!OwnerChannelAsk("info", &lines, &code) || code != kExitOk) return view;
  view.pid = static_cast<pid_t>(std::strtol(OwnerChannelValue(lines, "pid").c_str(), nullptr, 10));
  view.state = static_cast<uint32_t>(std::strtoul(OwnerChannelValue(lines, "state").c_str(), nullptr, 10));
  view.gateway = OwnerChannelValue(lines, "gateway");
  view.group = OwnerChannelValue(lines, "group");
  return view;
}

// The used entries stand together from the first; a free one (address 0)
// ends them. (The daemon passes on only whole 72-byte records, so the
// filter's own count of entries cannot be asked for.)
TableFigures readTable(ClientSession* session) {
  TableFigures t;
  for (uint32_t i = 0; i < zor::addr::kEntries; i++) {
    auto entry = session->Ask(18, 0, i);
    if (!entry || entry->result != 0) break;
    zor::addr::Entry e{};
    memcpy(&e, entry->payload, zor::addr::kClientStatsSize);
    if (e.address == 0) break;
    if (e.kind == zor::addr::kGateway && t.gateway == 0) t.gateway = e.address;
    uint32_t c[4];
    memcpy(c, e.data, sizeof c);
    for (int k = 0; k < 4; k++) t.counters[k] += c[k];
  }
  return t;
}

// The local address a datagram to the gateway leaves from ("" when none).
std::string localAddressTowards(const std::string& gateway) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kGatewayPort);
  if (gateway.empty() || inet_pton(AF_INET, gateway.c_str(), &to.sin_addr) != 1) return "";
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  bool found = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  if (fd >= 0) close(fd);
  return found ? DottedAddress(ntohl(local.sin_addr.s_addr)) : "";
}

uint32_t payloadU32(const ServicePipeMessage_t& m, size_t offset) {
  uint32_t v;
  memcpy(&v, m.payload + offset, sizeof v);
  return v;
}

std::string jsonReport(ClientSession* session, uint32_t state, const std::string& words, const OwnerView& owner) {
  nlohmann::ordered_json j;
  j["state"] = state;
  j["state_name"] = StateName(state);
  j["connected"] = state == CS_CONNECT;
  j["words"] = words;
  j["owner"] = owner.pid > 0 ? nlohmann::ordered_json{{"program", "solvarin-cli up"}, {"pid", owner.pid}} : nullptr;
  TableFigures table = readTable(session);
  std::string gateway = owner.pid > 0 ? owner.gateway : state == CS_CONNECT && table.gateway ? DottedAddress(table.gateway) : "";
  j["gateway"] = gateway;
  j["tunnel_address"] = localAddressTowards(gateway);
  j["group"] = owner.group;
  j["counters"] = {{"tunnelled", table.counters[0]}, {"malformed", table.counters[1]},
                   {"passed", table.counters[2]}, {"refused", table.counters[3]}};
  auto fw = session->Ask(35);
  bool haveFw = fw && fw->result == 0;
  j["firewall"] = {{"sessions", haveFw ? payloadU32(*fw, 0) : 0}, {"table_bytes", haveFw ? payloadU32(*fw, 4) : 0},
                   {"throughput_all", haveFw ? payloadU32(*fw, 8) : 0},
                   {"throughput_tunnelled", haveFw ? payloadU32(*fw, 12) : 0}};
  return j.dump();
}

}  // namespace

int StatusAction(ClientSession* session, bool json) {
  auto msg = session->Ask(1);
  if (!msg) {
    SayError("error: the daemon closed the connection");
    return kExitNoDaemon;
  }
  OwnerView owner = askOwner();
  uint32_t state = owner.pid > 0 ? owner.state : msg->result;
  std::string words = owner.pid > 0 ? StateWords(state) : StateReplyWords(*msg);
  if (json) {
    Say(jsonReport(session, state, words, owner));
    return kExitOk;
  }
  Say("reply " + DescribeMessage(*msg));
  if (owner.pid > 0) words += " (the tunnel of this user's solvarin-cli up, pid " + std::to_string(owner.pid) + ")";
  Say("  = " + words);
  if (owner.pid == 0) session->NoteState(msg->result);
  return kExitOk;
}
