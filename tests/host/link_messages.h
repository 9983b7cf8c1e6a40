// rtnetlink link messages as the kernel sends them to the link monitor, for
// its tests and its fuzz target's seeds.
#pragma once
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace linktest {

using Bytes = std::vector<uint8_t>;

// One message: header, ifinfomsg (link up), then the name attribute.
inline Bytes LinkMessage(uint16_t type, int ifindex, const char *name) {
  size_t nameLen = strlen(name) + 1;
  size_t attr = RTA_LENGTH(nameLen);
  Bytes m(NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_ALIGN(attr), 0);
  nlmsghdr h{};
  h.nlmsg_len = static_cast<uint32_t>(m.size());
  h.nlmsg_type = type;
  memcpy(m.data(), &h, sizeof h);
  ifinfomsg info{};
  info.ifi_index = ifindex;
  info.ifi_flags = IFF_UP;
  memcpy(m.data() + NLMSG_HDRLEN, &info, sizeof info);
  rtattr a{static_cast<unsigned short>(attr), IFLA_IFNAME};
  memcpy(m.data() + NLMSG_LENGTH(sizeof info), &a, sizeof a);
  memcpy(m.data() + NLMSG_LENGTH(sizeof info) + RTA_LENGTH(0), name, nameLen);
  return m;
}

// The message with its length field set to len (the bytes stay as they are).
inline Bytes WithLength(Bytes m, uint32_t len) {
  memcpy(m.data(), &len, 4);
  return m;
}

inline Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline Bytes DoneMessage() {
  Bytes m(NLMSG_HDRLEN, 0);
  nlmsghdr h{NLMSG_HDRLEN, NLMSG_DONE, 0, 0, 0};
  memcpy(m.data(), &h, sizeof h);
  return m;
}

}  // namespace linktest
