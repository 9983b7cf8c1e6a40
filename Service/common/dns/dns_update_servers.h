#pragma once
// The servers that take dynamic updates for dns_update_zone: the gateway's
// DNS servers (12-byte records of its dynamic configuration) are asked for
// the zone's SOA, and the SOA's primary server name is resolved through them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One record of the gateway's dynamic configuration (host byte order).
struct VeskCfgEntry {
  uint32_t address;
  uint32_t prefixLength;
  uint32_t kind;  // VeskCfgKind
};
static_assert(sizeof(VeskCfgEntry) == 12);

enum VeskCfgKind : uint32_t { VESKCFG_DNS_SERVER = 0, VESKCFG_PLAIN_ADDRESS = 1 };

// Distinct non-zero DNS-server addresses of a payload, in payload order.
std::vector<uint32_t> DnsServersOfVeskCfg(const uint8_t* payload, size_t size);
// DnsServersOfVeskCfg of the engine's current configuration, logged.
std::vector<uint32_t> GetVeskDnsServers();

// Update servers (dotted texts, first-seen order); empty when none found.
std::vector<std::string> ResolveDnsUpdateServerIPs();
std::vector<std::string> ResolveDnsUpdateServerIPsUsing(const std::vector<uint32_t>& servers);

// res_nquery of name/type against at most the first three servers (the
// system's when none); the answer length, negative on failure.
int query_dns_record(const std::string& name, int type, const std::vector<uint32_t>& servers,
                     unsigned char* answer);
// The SOA's MNAME of zone, without trailing dots; throws on failure.
std::string resolve_soa_primary_server(const std::string& zone, const std::vector<uint32_t>& servers);
// The IPv4 addresses of host (getaddrinfo when servers is empty).
std::vector<std::string> resolve_ipv4_addresses_dns(const std::string& host,
                                                     const std::vector<uint32_t>& servers);
// The readers of a server's answer of length bytes (what res_nquery
// returned): the first SOA record's MNAME without trailing dots (throws when
// there is none or the answer is damaged), and the distinct addresses of the
// A records (throws when damaged).
std::string soa_primary_of_answer(const unsigned char* answer, int length, const std::string& zone);
std::vector<std::string> ipv4_addresses_of_answer(const unsigned char* answer, int length);

std::string IPv4HostOrderToString(uint32_t value);
