#include "cross/common/profile_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// GCC 12 warns falsely inside <regex> when building with sanitizers.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

bool matches(const std::string& text, const char* pattern) {
  return std::regex_match(text, std::regex(pattern, std::regex::ECMAScript));
}

// Runs the host name query; the caller frees the result list.
addrinfo* lookUp(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return nullptr;
  return list;
}

// The text of one result's address, or "" when it does not qualify.
std::string addressText(const addrinfo* ai) {
  char text[46];
  const void* addr = nullptr;
  if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
    addr = &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
  } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
    addr = &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
  }
  if (ai->ai_addr == nullptr || addr == nullptr) return "";
  return inet_ntop(ai->ai_family, addr, text, sizeof text) != nullptr ? text : "";
}

}  // namespace

bool VESKAddress::isIPAddress(const std::string& text) {
  return matches(text, R"(^(?:[0-9]{1,3}\.){3}[0-9]{1,3}$)") ||
         matches(text, R"(^(?:[A-Fa-f0-9]{1,4}:){7}[A-Fa-f0-9]{1,4}$)");
}

bool VESKAddress::isDomainName(const std::string& text) {
  return matches(text, R"(^(?:[a-zA-Z0-9-]+\.)+[a-zA-Z]{2,}\.?$)");
}

bool VESKAddress::fromString(const std::string& text) {
  if (isIPAddress(text)) {
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return false;
    type = IPV4;
    fa_ipaddr = ntohl(addr.s_addr);
    return true;
  }
  if (!isDomainName(text)) return false;
  uint32_t ip = resolveDNS_UL(text);
  fa_url = text;
  type = DNS_NAME;
  if (ip == 0) return false;
  fa_ipaddr = ip;
  return true;
}

std::string VESKAddress::toString() const {
  if (type == DNS_NAME) return fa_url;
  in_addr addr{htonl(fa_ipaddr)};
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &addr, text, sizeof text);
}

uint32_t resolveDNS_UL(const std::string& name) {
  addrinfo* list = lookUp(name);
  uint32_t ip = 0;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      ip = ntohl(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
      break;
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  return ip;
}

std::string resolveDNS_STR(const std::string& name) {
  addrinfo* list = lookUp(name);
  std::string text;
  for (addrinfo* ai = list; ai != nullptr && text.empty(); ai = ai->ai_next) text = addressText(ai);
  if (list != nullptr) freeaddrinfo(list);
  return text;
}
