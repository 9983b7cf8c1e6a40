// Sends the daemon's IOCTL_GETDDATALEN request to a control endpoint as user
// nobody. Exits 0 when the family is found and the request is refused with
// EPERM, else with a number naming the step that went wrong. Run as its own
// program so that the test forks nothing from its threaded process.
#include <linux/netlink.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/genl_messages.h"
#include "tests/host/netlink_client.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  uint32_t port = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0));
  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) return 10;
  testnl::Client nobody(port);
  if (nobody.lookup_family("/tmp/SolvrnVpn") != zornfhost::kRequestFamilyId) return 11;
  std::vector<uint8_t> body = {1, 1, 0, 0};
  std::vector<uint8_t> a = testnl::attribute(1, {58, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0});
  body.insert(body.end(), a.begin(), a.end());
  if (!nobody.send_raw(testnl::message(zornfhost::kRequestFamilyId, NLM_F_REQUEST, 50, body)))
    return 12;
  auto reply = nobody.receive(2000);
  if (!reply || reply->size() < 20) return 13;
  uint16_t type;
  std::memcpy(&type, reply->data() + 4, 2);
  if (type != NLMSG_ERROR) return 14;
  return static_cast<int>(testnl::u32_at(*reply, 16)) == -EPERM ? 0 : 15;
}
