// zornfhost's control endpoint in-process: the real host library without
// adapters, on a netlink port of its own, spoken to with the daemon's bytes.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "host/genl_messages.h"
#include "host/host_runtime.h"
#include "kernel/include/byte_order.h"
#include "kernel/include/drv_requests.h"
#include "tests/common/spawn.h"
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
  auto r = client->ioctl(kRequestFamilyId, IOCTL_GETDDATALEN, data);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 8u);
  EXPECT_EQ(testnl::u32_at(*r, 0), 0u);
  EXPECT_EQ(testnl::u32_at(*r, 4), 21u);
  auto rejected = client->ioctl(kRequestFamilyId, RQC_LAST_FRAMED + 1, data);
  ASSERT_TRUE(rejected);
  EXPECT_EQ(testnl::u32_at(*rejected, 0), 0u) << "a rejected code still gets its one reply";
}

TEST_F(Endpoint, DoorbellGoesToTheRegisteredPort) {
  uint32_t port = client->port();
  std::vector<uint8_t> pid(4);
  std::memcpy(pid.data(), &port, 4);
  ASSERT_TRUE(client->ioctl(kRequestFamilyId, IOCTL_SETPID, pid));
  host_post_standby();
  auto bell = client->receive(2000);
  ASSERT_TRUE(bell);
  ASSERT_EQ(bell->size(), 20u);
  uint16_t type;
  std::memcpy(&type, bell->data() + 4, 2);
  EXPECT_EQ(type, kEventFamilyId);
  auto code = client->ioctl(kRequestFamilyId, IOCTL_GETCODE, std::vector<uint8_t>(4));
  ASSERT_TRUE(code);
  EXPECT_EQ(testnl::u32_at(*code, 4), 6u);
}

// Runs the probe program as a child and waits at most timeout_ms for it;
// its exit status, or -1 when it could not run or did not end in time.
int run_probe(uint32_t port, int timeout_ms) {
  pid_t child = SpawnChild({ZOR_NETLINK_PROBE, std::to_string(port)});
  int status = WaitChild(child, timeout_ms);
  if (status < 0) EndChild(child, SIGKILL);
  return status < 128 ? status : -1;
}

TEST_F(Endpoint, RequestsFromOtherUsersAreRefused) {
  EXPECT_EQ(run_probe(config.port, 10000), 0);
  EXPECT_TRUE(client->ioctl(kRequestFamilyId, IOCTL_GETDDATALEN, std::vector<uint8_t>(4))) << "root still served";
}

// Requests 16 and 17 framed without a payload: no room for their replies.
TEST_F(Endpoint, LocalRuleRequestsWithoutRoomAnswerMinusThree) {
  for (uint32_t code : {16u, 17u}) {
    std::vector<uint8_t> header(24, 0);
    store_le16(&header[0], DRV_REQUEST_MAGIC);
    auto r = client->ioctl(kRequestFamilyId, code, header);
    ASSERT_TRUE(r) << code;
    EXPECT_EQ(static_cast<int32_t>(testnl::u32_at(*r, 0)), -3) << code;
  }
}

TEST_F(Endpoint, BadInputIsRefusedAndTheHostStillAnswers) {
  expect_endpoint_survives_bad_input(*client);
}

}  // namespace
