// The adapter look-ups against real routes: a namespace of its own with
// three interfaces (TAP devices) and /16 and /24 routes of several metrics to one
// gateway address (documentation ranges only).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Service/common/engine/adapter_binding.h"
#include "tests/host/testnet_fixture.h"

namespace {

constexpr uint32_t kGateway = 0xC633644D;  // 198.51.100.77

class RoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (getuid() != 0) GTEST_SKIP() << "needs root for namespaces";
    ns = "zr" + std::to_string(getpid());
    built = true;
    ASSERT_EQ(sh("ip netns add " + ns), 0);
    for (const char* cmd : {"link set lo up", "tuntap add dev dA mode tap",
                            "tuntap add dev dB mode tap", "tuntap add dev dC mode tap", "addr add 203.0.113.5/24 dev dA",
                            "addr add 192.0.2.5/25 dev dB", "addr add 192.0.2.133/25 dev dC", "link set dA up",
                            "link set dB up", "link set dC up",
                            "route add 198.51.0.0/16 via 203.0.113.1 dev dA metric 10",
                            "route add 198.51.100.0/24 via 192.0.2.1 dev dB metric 100"})
      ASSERT_EQ(sh(std::string("ip -n ") + ns + " " + cmd), 0) << cmd;
    in = std::make_unique<InNetns>(ns);
    ASSERT_TRUE(in->ok());
  }
  void TearDown() override {
    in.reset();
    if (built) sh("ip netns del " + ns);
  }
  int sh(const std::string& cmd) { return run_shell(cmd + " >/dev/null 2>&1"); }
  std::string best() {
    char name[64] = "stale";
    int r = getSocketBestAdapterName(kGateway, name, sizeof name);
    return r == 0 ? name : "result " + std::to_string(r) + " '" + name + "'";
  }
  std::string ns;
  bool built = false;
  std::unique_ptr<InNetns> in;
};

TEST_F(RoutesTest, LongestPrefixThenLowestMetricThenFirstListed) {
  EXPECT_EQ(best(), "dB") << "the /24 beats the /16 whatever the metrics";
  ASSERT_EQ(sh("ip -n " + ns + " route add 198.51.100.0/24 dev dC metric 50"), 0);
  EXPECT_EQ(best(), "dC") << "the lower metric among equal prefixes";
  ASSERT_EQ(sh("ip -n " + ns + " route del 198.51.100.0/24 dev dC metric 50"), 0);
  ASSERT_EQ(sh("ip -n " + ns + " route append 198.51.100.0/24 dev dC metric 100"), 0);
  EXPECT_EQ(best(), "dB") << "the first listed among equal routes";
  ASSERT_EQ(sh("ip -n " + ns + " route flush 198.51.0.0/16"), 0);
  ASSERT_EQ(sh("ip -n " + ns + " route flush 198.51.100.0/24"), 0);
  char name[64] = "stale";
  EXPECT_EQ(getSocketBestAdapterName(kGateway, name, sizeof name), 2);
  EXPECT_STREQ(name, "");
}

TEST_F(RoutesTest, GatewayOfAnInterface) {
  uint32_t gw = 1;
  EXPECT_EQ(getAdapterGatewayByName(&gw, "dB", 16), 0);
  EXPECT_EQ(ntohl(gw), 0xC0000201u);  // 192.0.2.1
  EXPECT_EQ(getAdapterGatewayByName(&gw, "dC", 16), 0);
  EXPECT_EQ(gw, 0u);
  EXPECT_EQ(getAdapterGatewayByName(&gw, "", 16), 1);
  EXPECT_EQ(getAdapterGatewayByName(&gw, "sixteen-chars-ab", 64), 1);
  EXPECT_EQ(getAdapterGatewayByName(&gw, "dB", 2), 1);
}

TEST_F(RoutesTest, InterfacesAddedAfterTheCountFindNoRoom) {
  int count = 0;
  ASSERT_EQ(GetNICs(&count, nullptr, 0), 0);
  ASSERT_EQ(count, 3);
  ASSERT_EQ(sh("ip -n " + ns + " tuntap add dev dD mode tap"), 0);
  ASSERT_EQ(sh("ip -n " + ns + " tuntap add dev dE mode tap"), 0);
  // Room for the three counted records and a guard record behind them.
  std::vector<tSTRUCTNICINFO> nics(4);
  std::memset(&nics[3], 0x5A, sizeof nics[3]);
  tSTRUCTNICINFO guard = nics[3];
  ASSERT_EQ(GetNICs(&count, nics.data(), 3), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(std::memcmp(&nics[3], &guard, sizeof guard), 0);
  ASSERT_EQ(GetNICs(&count, nullptr, 0), 0);
  EXPECT_EQ(count, 5);
}

TEST_F(RoutesTest, InterfaceListLeavesLoopbackOut) {
  int count = 0;
  ASSERT_EQ(GetNICs(&count, nullptr, 0), 0);
  ASSERT_EQ(count, 3);
  std::vector<tSTRUCTNICINFO> nics(static_cast<size_t>(count));
  ASSERT_EQ(GetNICs(&count, nics.data(), nics.size()), 0);
  bool sawA = false;
  for (const tSTRUCTNICINFO& n : nics) {
    EXPECT_STRNE(n.name, "lo");
    EXPECT_EQ(n.type, 6u);
    EXPECT_EQ(n.addressLength, 6u);
    if (std::strcmp(n.name, "dA") == 0) {
      sawA = true;
      EXPECT_STREQ(n.ip, "203.000.113.005");
      EXPECT_STREQ(n.netmask, "255.255.255.000");
      EXPECT_STREQ(n.gateway, "203.000.113.001");
      EXPECT_STREQ(n.description, "Full name 'dA'");
      EXPECT_EQ(n.mtu, 1500u);
    }
  }
  EXPECT_TRUE(sawA);
}

// The MTU of the namespace's interface, read by the command's own call.
uint32_t mtuOf(const char* name) {
  uint32_t mtu = 1;
  return getsetAdapterMtu(name, &mtu) == 0 ? mtu : 0;
}

// Value 0 is refused without asking the kernel: the loopback would take an
// MTU of 0 and lose its addresses.
TEST_F(RoutesTest, TheMtuIsReadAndNeverSet) {
  EXPECT_EQ(mtuOf("dA"), 1500u);
  EXPECT_EQ(mtuOf("lo"), 65536u);
  for (const char* name : {"lo", "dA", "nosuch0"}) {
    uint32_t zero = 0;
    EXPECT_EQ(getsetAdapterMtu(name, &zero), 2) << name;
    EXPECT_EQ(zero, 0u) << name;
  }
  EXPECT_EQ(mtuOf("lo"), 65536u) << "the loopback's MTU was changed";
  EXPECT_EQ(mtuOf("dA"), 1500u);
  EXPECT_EQ(mtuOf("nosuch0"), 0u) << "an interface that does not exist reads as refused";
}

}  // namespace
