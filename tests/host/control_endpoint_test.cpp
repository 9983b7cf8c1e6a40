// zornfhost's control endpoint in-process: the real host library without
// adapters, on a netlink port of its own, spoken to with the daemon's bytes.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/genl_messages.h"
#include "host/host_runtime.h"
#include "tests/host/bad_input.h"
#include "tests/host/netlink_client.h"

namespace {

using namespace zornfhost;

class Endpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    config.port = 0x7A000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFF);
    ASSERT_TRUE(host_load(config));
    client = std::make_unique<testnl::Client>(config.port);
  }
  void TearDown() override {
    client.reset();
    host_unload();
  }
  HostConfig config;
  std::unique_ptr<testnl::Client> client;
};

TEST_F(Endpoint, FamilyLookupAsTheDaemonReadsIt) {
  EXPECT_EQ(client->lookup_family("/tmp/SolvrnVpn"), kRequestFamilyId);
  EXPECT_EQ(client->lookup_family("SolvrnVpnEvent"), kEventFamilyId);
  EXPECT_EQ(client->lookup_family("SolvrnVpnEvent2"), -1);
}

TEST_F(Endpoint, ReplyCarriesTheDataAreaAsTheEntryLeftIt) {
  std::vector<uint8_t> data(4);  // IOCTL_GETDDATALEN
  auto r = client->ioctl(kRequestFamilyId, 58, data);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 8u);
  EXPECT_EQ(testnl::u32_at(*r, 0), 0u);
  EXPECT_EQ(testnl::u32_at(*r, 4), 21u);
  auto rejected = client->ioctl(kRequestFamilyId, 48, data);
  ASSERT_TRUE(rejected);
  EXPECT_EQ(testnl::u32_at(*rejected, 0), 0u) << "a rejected code still gets its one reply";
}

TEST_F(Endpoint, DoorbellGoesToTheRegisteredPort) {
  uint32_t port = client->port();
  std::vector<uint8_t> pid(4);
  std::memcpy(pid.data(), &port, 4);
  ASSERT_TRUE(client->ioctl(kRequestFamilyId, 51, pid));
  host_post_standby();
  auto bell = client->receive(2000);
  ASSERT_TRUE(bell);
  ASSERT_EQ(bell->size(), 20u);
  uint16_t type;
  std::memcpy(&type, bell->data() + 4, 2);
  EXPECT_EQ(type, kEventFamilyId);
  auto code = client->ioctl(kRequestFamilyId, 49, std::vector<uint8_t>(4));
  ASSERT_TRUE(code);
  EXPECT_EQ(testnl::u32_at(*code, 4), 6u);
}

// What an unprivileged sender gets: 0 family found and request refused
// with EPERM, else a number naming the step that went wrong.
int probe_as_nobody(uint32_t port) {
  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) return 10;
  testnl::Client nobody(port);
  if (nobody.lookup_family("/tmp/SolvrnVpn") != kRequestFamilyId) return 11;
  std::vector<uint8_t> body = {1, 1, 0, 0};
  std::vector<uint8_t> a = testnl::attribute(1, {58, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0});
  body.insert(body.end(), a.begin(), a.end());
  if (!nobody.send_raw(testnl::message(kRequestFamilyId, NLM_F_REQUEST, 50, body))) return 12;
  auto reply = nobody.receive(2000);
  if (!reply || reply->size() < 20) return 13;
  uint16_t type;
  std::memcpy(&type, reply->data() + 4, 2);
  if (type != NLMSG_ERROR) return 14;
  return static_cast<int>(testnl::u32_at(*reply, 16)) == -EPERM ? 0 : 15;
}

TEST_F(Endpoint, RequestsFromOtherUsersAreRefused) {
  pid_t child = fork();
  if (child == 0) _exit(probe_as_nobody(config.port));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(client->ioctl(kRequestFamilyId, 58, std::vector<uint8_t>(4))) << "root still served";
}

// Requests 16 and 17 framed without a payload: no room for their replies.
TEST_F(Endpoint, LocalRuleRequestsWithoutRoomAnswerMinusThree) {
  for (uint32_t code : {16u, 17u}) {
    std::vector<uint8_t> header(24, 0);
    header[0] = 0x09;
    header[1] = 0x02;
    auto r = client->ioctl(kRequestFamilyId, code, header);
    ASSERT_TRUE(r) << code;
    EXPECT_EQ(static_cast<int32_t>(testnl::u32_at(*r, 0)), -3) << code;
  }
}

TEST_F(Endpoint, BadInputIsRefusedAndTheHostStillAnswers) {
  expect_endpoint_survives_bad_input(*client);
}

}  // namespace
