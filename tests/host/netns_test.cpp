// The real zornfhost in the test network's namespaces: traffic crosses it
// unchanged, the daemon's netlink exchange works, the link of the TAP
// reaches the adapter notifications, signals do what they say, and a
// device of the pair deleted ends it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "host/genl_messages.h"
#include "kernel/include/drv_requests.h"
#include "tests/host/bad_input.h"
#include "tests/host/netlink_client.h"
#include "tests/host/testnet_fixture.h"

namespace {

using zornfhost::kControlPort;
using zornfhost::kEventFamilyId;
using zornfhost::kRequestFamilyId;

class TestNet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net.up()) << net.host_log();
    cli = net.cli();
    host = net.host_pid();
    InNetns in(cli);
    client = std::make_unique<testnl::Client>(kControlPort);
  }
  void TearDown() override {
    client.reset();
    net.down();
  }
  std::string dump() {
    auto len = client->ioctl(kRequestFamilyId, IOCTL_GETDDATALEN, std::vector<uint8_t>(4));
    if (!len) return "";
    auto text =
        client->ioctl(kRequestFamilyId, IOCTL_GETDDATA, std::vector<uint8_t>(testnl::u32_at(*len, 4) + 1));
    return text ? std::string(reinterpret_cast<char *>(text->data())) : "";
  }
  bool dump_shows(const std::string &piece) {
    for (int i = 0; i < 40; i++) {
      if (dump().find(piece) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  TestNetwork net;
  std::string cli;
  pid_t host = 0;
  std::unique_ptr<testnl::Client> client;
};

// Sends `bytes` from the client namespace to a server in the corporate
// namespace and returns what the server received.
std::vector<uint8_t> tcp_transfer(const std::string &prefix, const std::vector<uint8_t> &bytes) {
  int listener;
  {
    InNetns in(prefix + "corp");
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(5201);
  inet_pton(AF_INET, "198.51.100.10", &addr.sin_addr);
  if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0)
    return {};
  std::vector<uint8_t> got;
  std::thread server([&] {
    int s = accept(listener, nullptr, nullptr);
    std::vector<uint8_t> buf(65536);
    for (ssize_t n; s >= 0 && (n = read(s, buf.data(), buf.size())) > 0;)
      got.insert(got.end(), buf.begin(), buf.begin() + n);
    if (s >= 0) close(s);
  });
  int c;
  {
    InNetns in(prefix + "cli");
    c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  timeval tv{10, 0};
  setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
    for (size_t off = 0; off < bytes.size();) {
      ssize_t n = write(c, bytes.data() + off, bytes.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }
  close(c);
  server.join();
  close(listener);
  return got;
}

TEST_F(TestNet, PingAndTcpCrossTheHostUnchanged) {
  EXPECT_EQ(run_shell("ip netns exec " + cli + " ping -q -c 3 -i 0.2 -W 2 198.51.100.10 >/dev/null"), 0);
  std::vector<uint8_t> bytes(8 << 20);
  std::mt19937 rng(4);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  EXPECT_TRUE(tcp_transfer(net.prefix(), bytes) == bytes) << "the stream arrives whole and unchanged";
}

// CPU seconds (user and system, all threads) that process `pid` used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i < 14 && rest >> field; i++) {}  // state ... cmajflt
  rest >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(TestNet, AnUplinkThatGoesDownLeavesTheHostIdleAndCarriesOnceUpAgain) {
  ASSERT_EQ(run_shell("ip -n " + cli + " link set wire0 down"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double before = cpu_seconds(host);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(cpu_seconds(host) - before, 0.5) << "zornfhost kept busy while its uplink was down";
  ASSERT_EQ(run_shell("ip -n " + cli + " link set wire0 up"), 0);
  EXPECT_EQ(run_shell("ip netns exec " + cli + " ping -q -c 2 -i 0.2 -W 2 198.51.100.10 >/dev/null"), 0);
}

// A device of the pair deleted under zornfhost: one line says so, and it
// ends after its cleanup with status 3 rather than waiting on a dead device.
TEST(DeviceGone, TheHostSaysSoOnceAndEnds) {
  for (const std::string device : {"tap0", "wire0"}) {
    SCOPED_TRACE(device);
    TestNetwork net;
    ASSERT_TRUE(net.up()) << net.host_log();
    ASSERT_EQ(run_shell("ip -n " + net.cli() + " link del " + device), 0);
    EXPECT_EQ(net.wait_host(3000), 3) << net.host_log();
    const std::string text = net.host_log();
    size_t said = 0;
    for (size_t at = 0; (at = text.find(" is gone", at)) != std::string::npos; at++) said++;
    EXPECT_EQ(said, 1u) << text;
    EXPECT_NE(text.find(" " + device + " is gone"), std::string::npos) << text;
    EXPECT_NE(text.find("ZORNFFLT: cleanup_module: Filter driver unloaded\n"), std::string::npos) << text;
  }
}

TEST_F(TestNet, FamiliesDoorbellAndEventCode) {
  InNetns in(cli);
  // The doorbells go to a socket of their own, as the daemon's listener has.
  testnl::Client events(kControlPort);
  EXPECT_EQ(events.lookup_family("SolvrnVpnEvent"), kEventFamilyId);
  uint32_t port = events.port();
  std::vector<uint8_t> pid(4);
  std::memcpy(pid.data(), &port, 4);
  ASSERT_TRUE(client->ioctl(kRequestFamilyId, IOCTL_SETPID, pid));  // IOCTL_SETPID
  ASSERT_EQ(kill(host, SIGUSR2), 0);
  auto bell = events.receive(3000);
  ASSERT_TRUE(bell) << "no doorbell after post stand-by";
  uint16_t type;
  std::memcpy(&type, bell->data() + 4, 2);
  EXPECT_EQ(type, kEventFamilyId);
  ASSERT_TRUE(client->ioctl(kRequestFamilyId, IOCTL_CONFIRM, std::vector<uint8_t>(4)));  // IOCTL_CONFIRM
  auto code = client->ioctl(kRequestFamilyId, IOCTL_GETCODE, std::vector<uint8_t>(4));  // IOCTL_GETCODE
  ASSERT_TRUE(code);
  EXPECT_EQ(testnl::u32_at(*code, 0), 0u);
  EXPECT_EQ(testnl::u32_at(*code, 4), 6u);
  auto none = client->ioctl(kRequestFamilyId, IOCTL_GETCODE, std::vector<uint8_t>(4));
  ASSERT_TRUE(none);
  EXPECT_EQ(testnl::u32_at(*none, 4), 0u) << "one code was queued";

  EXPECT_EQ(net.stop_host(), 0);
  const std::string text = net.host_log();
  for (const char *line : {"ZORNFFLT: init_module: Filter driver loading...\n",
                           "ZORNFFLT: init_module: Filter driver loaded\n",
                           "ZORNFFLT: cleanup_module: Filter driver unloading...\n",
                           "ZORNFFLT: cleanup_module: Filter driver unloaded\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(TestNet, QueuesDumpAndTheTapLink) {
  InNetns in(cli);
  auto q = client->ioctl(kRequestFamilyId, IOCTL_GETDRVQUEUES, std::vector<uint8_t>(4));  // IOCTL_GETDRVQUEUES
  ASSERT_TRUE(q);
  EXPECT_EQ(testnl::u32_at(*q, 0), 0u);
  EXPECT_EQ(testnl::u32_at(*q, 4), 0u);
  std::string text = dump();
  EXPECT_NE(text.find("\n  ad_name: tap0"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  ad_type: 0"), std::string::npos);
  EXPECT_NE(text.find("\n  ad_filterstate: 2"), std::string::npos);
  EXPECT_NE(text.find("\n  MTU: 1500"), std::string::npos);

  ASSERT_EQ(run_shell("ip -n " + cli + " link set tap0 down"), 0);
  EXPECT_TRUE(dump_shows("\n  ad_filterstate: 1")) << dump();
  ASSERT_EQ(run_shell("ip -n " + cli + " link set tap0 up"), 0);
  EXPECT_TRUE(dump_shows("\n  ad_filterstate: 2")) << dump();
  ASSERT_EQ(run_shell("ip -n " + cli + " link set tap0 mtu 1400"), 0);
  EXPECT_TRUE(dump_shows("\n  MTU: 1400")) << dump();
}

TEST_F(TestNet, BadInputOnTheControlEndpoint) {
  InNetns in(cli);
  expect_endpoint_survives_bad_input(*client);
}

TEST_F(TestNet, SecondHostInTheNamespaceFailsToLoad) {
  std::string second_log = "/tmp/" + net.prefix() + ".second.log";
  // An adapter pair of its own, so that the port is what it fails on.
  int status = run_shell("ip netns exec " + cli + " " + zornfhost_binary() + " --adapter tap9:wire0 2>" + second_log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the port is taken";
  std::ifstream file(second_log);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("ZORNFFLT: init_module: Filter driver loaded\n"), std::string::npos);
  unlink(second_log.c_str());
  InNetns in(cli);
  EXPECT_EQ(client->lookup_family("/tmp/SolvrnVpn"), kRequestFamilyId) << "the first still serves";
}

}  // namespace
