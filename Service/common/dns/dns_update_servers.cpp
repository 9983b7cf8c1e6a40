#include "Service/common/dns/dns_update_servers.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "Service/common/dns/dns_registration_state.h"
#include "Service/common/dns/dns_text.h"
#include "cross/utils/log.h"

namespace {

constexpr int kAnswerSize = 4096;
constexpr int kNameSize = 1025;
constexpr int kMaxResolverServers = 3;

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(kDnsRegistratorModule, line, function, text.c_str());
}

// Texts in first-seen order without repeats.
class DistinctTexts {
 public:
  void add(const std::string& text) {
    if (seen.insert(text).second) list.push_back(text);
  }
  std::vector<std::string> list;

 private:
  std::set<std::string> seen;
};

}  // namespace

std::string IPv4HostOrderToString(uint32_t value) {
  return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 255) + "." +
         std::to_string((value >> 8) & 255) + "." + std::to_string(value & 255);
}

std::vector<uint32_t> DnsServersOfVeskCfg(const uint8_t* payload, size_t size) {
  std::vector<uint32_t> servers;
  for (size_t off = 0; payload != nullptr && off + sizeof(VeskCfgEntry) <= size; off += sizeof(VeskCfgEntry)) {
    VeskCfgEntry entry;
    memcpy(&entry, payload + off, sizeof entry);
    if (entry.kind != VESKCFG_DNS_SERVER || entry.address == 0) continue;
    if (std::find(servers.begin(), servers.end(), entry.address) != servers.end()) continue;
    servers.push_back(entry.address);
  }
  return servers;
}

std::vector<uint32_t> GetVeskDnsServers() {
  const char* fn = "GetVeskDnsServers";
  uint32_t size = 0;
  const uint8_t* payload = DnsRegistratorCurrentHooks().getVeskCfg(&size, nullptr);
  if (payload == nullptr || size < sizeof(VeskCfgEntry)) {
    logLine(__LINE__, fn, "DNS SOA: no VESK DNS servers in dynamic config");
    return {};
  }
  std::vector<uint32_t> servers = DnsServersOfVeskCfg(payload, size);
  for (uint32_t server : servers) logLine(__LINE__, fn, "DNS SOA: VESK DNS server " + IPv4HostOrderToString(server));
  if (servers.empty()) logLine(__LINE__, fn, "DNS SOA: VESK dynamic config has no DNS-marked servers");
  return servers;
}

std::vector<std::string> ResolveDnsUpdateServerIPs() {
  const char* fn = "ResolveDnsUpdateServerIPs";
  std::vector<uint32_t> servers = GetVeskDnsServers();
  if (servers.empty()) {
    logLine(__LINE__, fn, "DNS SOA: no VESK DNS servers, skip SOA resolve");
    return {};
  }
  std::vector<std::string> result = ResolveDnsUpdateServerIPsUsing(servers);
  if (result.empty()) logLine(__LINE__, fn, "DNS SOA: VESK DNS resolve failed, skip SOA resolve");
  return result;
}

std::vector<std::string> ResolveDnsUpdateServerIPsUsing(const std::vector<uint32_t>& servers) {
  const char* fn = "ResolveDnsUpdateServerIPsUsing";
  if (dns_update_zone.empty()) {
    logLine(__LINE__, fn, "DNS SOA: zone is empty, skip resolve");
    return {};
  }
  std::vector<std::string> result;
  try {
    logLine(__LINE__, fn, "DNS SOA: resolve via VESK DNS servers");
    std::string primary = resolve_soa_primary_server(dns_update_zone, servers);
    logLine(__LINE__, fn, "DNS SOA: primary server " + primary);
    result = resolve_ipv4_addresses_dns(primary, servers);
    for (const std::string& text : result) logLine(__LINE__, fn, "DNS SOA: resolved IPv4 " + text);
    if (result.empty()) logLine(__LINE__, fn, "DNS SOA: primary server has no IPv4 A records: " + primary);
  } catch (const std::exception& e) {
    logLine(__LINE__, fn, std::string("DNS SOA: resolve failed: ") + e.what());
    result.clear();
  }
  return result;
}

int query_dns_record(const std::string& name, int type, const std::vector<uint32_t>& servers,
                     unsigned char* answer) {
  auto* state = static_cast<res_state>(calloc(1, sizeof(struct __res_state)));
  if (state == nullptr) throw std::runtime_error("calloc(res_state) failed");
  if (int r = res_ninit(state); r != 0) {
    free(state);
    throw std::runtime_error("res_ninit failed: " + std::to_string(r));
  }
  int placed = 0;
  for (uint32_t server : servers) {
    if (server == 0 || placed >= kMaxResolverServers) continue;
    sockaddr_in& slot = state->nsaddr_list[placed++];
    slot = {};
    slot.sin_family = AF_INET;
    slot.sin_port = htons(53);
    slot.sin_addr.s_addr = htonl(server);
  }
  if (placed > 0) state->nscount = placed;
  int length = res_nquery(state, name.c_str(), C_IN, type, answer, kAnswerSize);
  res_nclose(state);
  free(state);
  // The resolver reports the whole answer's length even when it kept only
  // what fits the buffer: the readers get no more than the buffer holds.
  return length > kAnswerSize ? kAnswerSize : length;
}

std::string resolve_soa_primary_server(const std::string& zone, const std::vector<uint32_t>& servers) {
  unsigned char answer[kAnswerSize] = {};
  int length = query_dns_record(zone, T_SOA, servers, answer);
  if (length < 0) throw std::runtime_error("res_nquery SOA failed for zone " + zone);
  return soa_primary_of_answer(answer, length, zone);
}

std::string soa_primary_of_answer(const unsigned char* answer, int length, const std::string& zone) {
  ns_msg message;
  if (ns_initparse(answer, length, &message) < 0) throw_errno("ns_initparse");
  for (int i = 0; i < ns_msg_count(message, ns_s_an); i++) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) < 0) throw_errno("ns_parserr");
    if (ns_rr_type(record) != ns_t_soa) continue;
    char name[kNameSize];
    if (dn_expand(ns_msg_base(message), ns_msg_end(message), ns_rr_rdata(record), name, kNameSize) < 0)
      throw_errno("dn_expand SOA MNAME");
    return trim_trailing_dot(name);
  }
  throw std::runtime_error("SOA answer does not contain primary server for zone " + zone);
}

namespace {

std::vector<std::string> addressesByGetaddrinfo(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (int e = getaddrinfo(host.c_str(), nullptr, &hints, &list); e != 0)
    throw std::runtime_error("getaddrinfo failed for " + host + ": " + gai_strerror(e));
  DistinctTexts texts;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr, text, sizeof text);
    texts.add(text);
  }
  freeaddrinfo(list);
  return texts.list;
}

}  // namespace

std::vector<std::string> resolve_ipv4_addresses_dns(const std::string& host, const std::vector<uint32_t>& servers) {
  if (servers.empty()) return addressesByGetaddrinfo(host);
  unsigned char answer[kAnswerSize] = {};
  int length = query_dns_record(host, T_A, servers, answer);
  if (length < 0) throw std::runtime_error("res_nquery A failed for host " + host);
  return ipv4_addresses_of_answer(answer, length);
}

std::vector<std::string> ipv4_addresses_of_answer(const unsigned char* answer, int length) {
  ns_msg message;
  if (ns_initparse(answer, length, &message) < 0) throw_errno("ns_initparse A");
  DistinctTexts texts;
  for (int i = 0; i < ns_msg_count(message, ns_s_an); i++) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) < 0) throw_errno("ns_parserr A");
    if (ns_rr_type(record) != ns_t_a || ns_rr_rdlen(record) != 4) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, ns_rr_rdata(record), text, sizeof text);
    texts.add(text);
  }
  return texts.list;
}
