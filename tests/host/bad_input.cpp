#include "tests/host/bad_input.h"

#include <gtest/gtest.h>

#include <linux/netlink.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "host/genl_messages.h"
#include "kernel/include/drv_requests.h"

namespace {

using testnl::attribute;
using testnl::message;
using zornfhost::kEventFamilyId;
using zornfhost::kRequestFamilyId;

enum class Expect { Dropped, Error, Reply };

struct BadCase {
  const char *what;
  std::vector<uint8_t> bytes;
  Expect expect;
  int error = 0;  // for Expect::Error
};

// A 4-byte head and then tail, in one allocation of the final size.
std::vector<uint8_t> head_and_tail(const uint8_t head[4], const std::vector<uint8_t> &tail) {
  std::vector<uint8_t> b(4 + tail.size());
  std::memcpy(b.data(), head, 4);
  std::copy(tail.begin(), tail.end(), b.begin() + 4);
  return b;
}

std::vector<uint8_t> genl(uint8_t cmd, std::vector<uint8_t> attrs) {
  const uint8_t head[4] = {cmd, 1, 0, 0};
  return head_and_tail(head, attrs);
}

std::vector<uint8_t> code_and_data(uint32_t code, std::vector<uint8_t> data) {
  uint8_t head[4];
  std::memcpy(head, &code, 4);
  return head_and_tail(head, data);
}

std::vector<uint8_t> with_len(std::vector<uint8_t> m, uint32_t len) {
  std::memcpy(m.data(), &len, 4);
  return m;
}

std::vector<uint8_t> raw_attr(uint16_t len, uint16_t type, std::vector<uint8_t> tail) {
  uint8_t head[4];
  std::memcpy(&head[0], &len, 2);
  std::memcpy(&head[2], &type, 2);
  return head_and_tail(head, tail);
}

std::vector<BadCase> cases() {
  const uint16_t req = NLM_F_REQUEST;
  std::vector<uint8_t> name_unterminated = {'S', 'o', 'l', 'v'};
  return {
      {"fewer bytes than a netlink header", {1, 2, 3, 4, 5, 6, 7, 8}, Expect::Dropped},
      {"length field below the header", with_len(message(0x10, req, 1, genl(3, {})), 10),
       Expect::Dropped},
      {"length field past the datagram", with_len(message(0x10, req, 2, genl(3, {})), 400),
       Expect::Dropped},
      {"not a request", message(kRequestFamilyId, 0, 3, genl(1, {})), Expect::Dropped},
      {"family look-up without a name", message(0x10, req, 4, genl(3, {})), Expect::Error,
       -ENOENT},
      {"family name attribute past the message",
       message(0x10, req, 5, genl(3, raw_attr(200, 2, {'x', 0, 0, 0}))), Expect::Error, -ENOENT},
      {"family name without terminator",
       message(0x10, req, 6, genl(3, attribute(2, name_unterminated))), Expect::Error, -ENOENT},
      {"unknown family", message(0x10, req, 7, genl(3, attribute(2, {'n', 'o', 0}))),
       Expect::Error, -ENOENT},
      {"controller command other than look-up",
       message(0x10, req, 8,
               genl(9, attribute(2, {'S', 'o', 'l', 'v', 'r', 'n', 'V', 'p', 'n', 'E', 'v', 'e',
                                     'n', 't', 0}))),
       Expect::Error, -EOPNOTSUPP},
      {"request without generic-netlink header", message(kRequestFamilyId, req, 9, {}),
       Expect::Error, -EOPNOTSUPP},
      {"request of another command",
       message(kRequestFamilyId, req, 10, genl(2, attribute(1, code_and_data(58, {8, 0, 0, 0})))),
       Expect::Error, -EOPNOTSUPP},
      {"request without attribute", message(kRequestFamilyId, req, 11, genl(1, {})),
       Expect::Error, -EINVAL},
      {"request attribute shorter than the code",
       message(kRequestFamilyId, req, 12, genl(1, raw_attr(6, 1, {1, 2, 0, 0}))), Expect::Error,
       -EINVAL},
      {"request attribute length past the message",
       message(kRequestFamilyId, req, 13, genl(1, raw_attr(0xFFFF, 1, {58, 0, 0, 0}))),
       Expect::Error, -EINVAL},
      {"request to the event family", message(kEventFamilyId, req, 14, genl(1, {})),
       Expect::Error, -EOPNOTSUPP},
      {"unknown message type", message(0x1234, req, 15, genl(1, {})), Expect::Error, -ENOENT},
      {"unknown request code",
       message(kRequestFamilyId, req, 16, genl(1, attribute(1, code_and_data(200, {8, 0, 0, 0,
                                                                              1, 1, 1, 1})))),
       Expect::Reply},
      {"request code without its data",
       message(kRequestFamilyId, req, 17, genl(1, attribute(1, code_and_data(49, {})))),
       Expect::Reply},
      {"framed request claiming more than it carries",
       message(kRequestFamilyId, req, 18,
               genl(1, attribute(1, code_and_data(0, {0xFF, 0xFF, 0, 0, 9, 2, 0, 0})))),
       Expect::Reply},
      {"dump request claiming more than it carries",
       message(kRequestFamilyId, req, 19,
               genl(1, attribute(1, code_and_data(59, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0})))),
       Expect::Reply},
  };
}

}  // namespace

void expect_endpoint_survives_bad_input(testnl::Client &client) {
  for (const BadCase &c : cases()) {
    ASSERT_TRUE(client.send_raw(c.bytes)) << c.what;
    auto reply = client.receive(c.expect == Expect::Dropped ? 150 : 2000);
    if (c.expect == Expect::Dropped) {
      EXPECT_FALSE(reply) << c.what;
      continue;
    }
    ASSERT_TRUE(reply) << c.what;
    ASSERT_GE(reply->size(), 20u) << c.what;
    uint16_t type;
    std::memcpy(&type, reply->data() + 4, 2);
    EXPECT_EQ(testnl::u32_at(*reply, 8), testnl::u32_at(c.bytes, 8)) << c.what << ": sequence";
    if (c.expect == Expect::Error) {
      EXPECT_EQ(type, NLMSG_ERROR) << c.what;
      EXPECT_EQ(static_cast<int>(testnl::u32_at(*reply, 16)), c.error) << c.what;
    } else {
      EXPECT_EQ(type, kRequestFamilyId) << c.what;
    }
  }
  auto len = client.ioctl(kRequestFamilyId, IOCTL_GETDDATALEN, std::vector<uint8_t>(4));
  ASSERT_TRUE(len) << "the endpoint still answers";
  EXPECT_EQ(testnl::u32_at(*len, 0), 0u);
  EXPECT_GE(testnl::u32_at(*len, 4), 21u);
}
