#pragma once
// One gateway address of a second-format profile, and host name look-ups.
#include <stdint.h>

#include <string>

struct VESKAddress {
  enum : int32_t { UNSET = 0, IPV4 = 1, DNS_NAME = 2 };

  int32_t type = UNSET;
  uint32_t fa_ipaddr = 0;  // host byte order; for a name, its address once resolved (0: not yet)
  std::string fa_url;      // the DNS name of type 2

  // Takes a dotted IPv4 address (type 1) or a DNS name, which is resolved
  // (type 2). False, with the address unchanged, for a text of neither form
  // and for an address text that the IPv4 parser refuses; false for a name
  // that does not resolve, with type and fa_url already set.
  bool fromString(const std::string& text);
  // The address of type 2 is fa_url, of any other type the dotted form.
  std::string toString() const;

  // Dotted IPv4 form (a group may exceed 255) or full eight-group IPv6 form.
  static bool isIPAddress(const std::string& text);
  // Labels of letters, digits and hyphens, each followed by a dot, then a
  // last label of at least two letters and an optional final dot.
  static bool isDomainName(const std::string& text);

  friend bool operator==(const VESKAddress&, const VESKAddress&) = default;
};

// The first IPv4 address of a host name in host byte order, or 0.
uint32_t resolveDNS_UL(const std::string& name);
// The first IPv4 or IPv6 address of a host name as text, or "".
std::string resolveDNS_STR(const std::string& name);
