// The whole handshake as the daemon drives it: its request bytes through
// zornfhost's netlink endpoint in the client namespace, the datagrams over
// real UDP to the gateway simulator in the gateway namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "crypto/crc32.h"
#include "drv_requests.h"
#include "host/genl_messages.h"
#include "tests/common/spawn.h"
#include "tests/filter/daemon_records.h"
#include "tests/host/netlink_client.h"
#include "tests/host/testnet_fixture.h"

namespace {

using namespace zor::testrec;
using Bytes = std::vector<uint8_t>;

const std::string kGwsim = std::string(ZOR_BINARY_DIR) + "/tools/gwsim/gwsim";
constexpr uint32_t kGateway = 0xCB007101;   // 203.0.113.1

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// One framed reply: answer word, header, payload.
struct Reply {
  int32_t answer = 0;
  Bytes head, payload;
  uint8_t state() const { return head.size() > 2 ? head[2] : 0xFF; }
  int32_t status() const { return head.size() >= 24 ? (int32_t)load_le32(head.data() + 12) : 1; }
};

class NetnsHandshake : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net.up()) << net.host_log();
    prefix = net.prefix();
  }

  void TearDown() override {
    nl.reset();
    if (udp >= 0) close(udp);
    EndChild(gwsim);
    gwsim = 0;
    net.down();
    for (auto &f : {gw_log, keys_file, ready_file}) unlink(f.c_str());
  }

  // zornfhost in the client namespace, the simulator in the gateway's.
  void StartPeers(const std::vector<std::string> &gw_args) {
    gw_log = "/tmp/" + prefix + ".gw.log";
    keys_file = "/tmp/" + prefix + ".keys";
    ready_file = "/tmp/" + prefix + ".ready";
    std::vector<std::string> argv = {"ip", "netns", "exec", net.gw(), kGwsim,
                                     "--listen", "203.0.113.1", "--keys-out", keys_file,
                                     "--ready-file", ready_file};
    argv.insert(argv.end(), gw_args.begin(), gw_args.end());
    gwsim = SpawnChild(argv, {{}, gw_log});
    InNetns in(net.cli());
    ASSERT_TRUE(in.ok());
    nl = std::make_unique<testnl::Client>(zornfhost::kControlPort);
    family = nl->lookup_family("/tmp/SolvrnVpn");
    ASSERT_EQ(family, zornfhost::kRequestFamilyId) << net.host_log();
    for (int i = 0; i < 100 && access(ready_file.c_str(), F_OK) != 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(access(ready_file.c_str(), F_OK), 0) << ReadFile(gw_log);
    udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in gw{};
    gw.sin_family = AF_INET;
    gw.sin_port = htons(87);
    gw.sin_addr.s_addr = htonl(kGateway);
    ASSERT_EQ(connect(udp, (sockaddr *)&gw, sizeof gw), 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(udp, (sockaddr *)&me, &len);
    local_ip = ntohl(me.sin_addr.s_addr);
    local_port = ntohs(me.sin_port);
  }

  // A framed request of the daemon: the 18432-byte buffer travels whole.
  Reply Request(uint32_t code, const Bytes &payload, uint32_t length_field) {
    Bytes buf(18432, 0);
    store_le16(&buf[0], DRV_REQUEST_MAGIC);
    memcpy(buf.data() + 20, &length_field, 4);
    if (!payload.empty()) memcpy(buf.data() + 24, payload.data(), payload.size());
    Reply r;
    auto reply = nl->ioctl((uint16_t)family, code, buf);
    if (!reply || reply->size() < 28) return r;
    r.answer = (int32_t)load_le32(reply->data());
    r.head.assign(reply->begin() + 4, reply->begin() + 28);
    uint32_t n = load_le32(r.head.data() + 20);
    if (n <= reply->size() - 28) r.payload.assign(reply->begin() + 28, reply->begin() + 28 + n);
    states.push_back(r.state());
    return r;
  }
  Reply Request(uint32_t code, const Bytes &payload) {
    return Request(code, payload, (uint32_t)payload.size());
  }

  bool Send(const Bytes &d) { return send(udp, d.data(), d.size(), 0) == (ssize_t)d.size(); }

  // The next datagram from the gateway, or nothing within two seconds.
  std::optional<Bytes> Receive() {
    pollfd p{udp, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return std::nullopt;
    Bytes b(8192);
    ssize_t n = recv(udp, b.data(), b.size(), 0);
    if (n <= 0) return std::nullopt;
    b.resize((size_t)n);
    return b;
  }

  // Datagrams to RQC_TREATPACKET until the state leaves `waiting` or a
  // status comes back, as the daemon's wait loop does.
  Reply TreatUntil(uint8_t waiting) {
    Reply r;
    while (auto d = Receive()) {
      r = Request(RQC_TREATPACKET, *d);
      if (r.state() != waiting || r.status() != 0) break;
    }
    return r;
  }

  // RQC_INIT .. SYN RQ sent; the SYN RQ as sent.
  Bytes Begin() {
    Request(RQC_INIT, InitRecord(kGateway));
    Request(RQC_SETAUXINFO, AuxRecord(true));
    Bytes group(21, 0);
    memcpy(group.data(), "group-a", 7);
    Request(RQC_SETTUNNELGROUP, group);
    uint8_t priv[32];
    for (int i = 0; i < 32; ++i) priv[i] = (uint8_t)(0x21 + i);
    Reply syn = Request(RQC_MAKESYNRQ, EphemeralRecord(priv));
    EXPECT_EQ(syn.head[3], 10);
    EXPECT_EQ(load_le32(syn.head.data() + 4), 87u);
    EXPECT_EQ(load_le32(syn.head.data() + 8), 2000u);
    Request(RQC_PCONNECTING, Bytes(14));
    Bytes sock(8);
    Put32(sock, 0, local_ip);
    Put32(sock, 4, local_port);
    Request(RQC_SETCLIENTSOCKET, sock);
    Bytes d = syn.payload;
    Reply n = Request(RQC_GETNEXTSYNPACKETNUMBER, {}, 0);
    if (!n.payload.empty() && d.size() > 8 && d[8] != n.payload[0]) {
      d[8] = n.payload[0];
      Put32(d, d.size() - 4, ~FCS32(d.data(), (uint32_t)d.size() - 4));
    }
    EXPECT_TRUE(Send(d));
    return d;
  }

  // The rest after the SYN RR was accepted; the key block.
  Bytes Finish(const Reply &accepted) {
    const Bytes &p = accepted.payload;
    uint32_t a = load_le32(p.data() + 4), b = load_le32(p.data() + 8);
    Request(RQC_CREATETRANSPORTKEY, Bytes(p.begin() + 28 + b, p.begin() + 28 + b + a));
    Reply ok = Request(RQC_MAKESYNOK, {}, 0);
    EXPECT_TRUE(Send(ok.payload));
    Reply okf = TreatUntil(5);
    EXPECT_EQ(okf.status(), 0);
    if (okf.payload.size() < 64) return {};
    Bytes block(okf.payload.begin(), okf.payload.begin() + 64);
    Request(RQC_SETKEYS, KeyRecord(block.data(), local_ip, (uint16_t)local_port));
    return block;
  }

  std::string Hex(const Bytes &b) {
    std::string s;
    char t[3];
    for (uint8_t x : b) {
      snprintf(t, sizeof t, "%02x", x);
      s += t;
    }
    return s;
  }

  TestNetwork net;
  std::string prefix, gw_log, keys_file, ready_file;
  pid_t gwsim = 0;
  std::unique_ptr<testnl::Client> nl;
  int family = -1, udp = -1;
  uint32_t local_ip = 0, local_port = 0;
  std::vector<uint8_t> states;
};

TEST_F(NetnsHandshake, ReachesConnectedOverRealUdp) {
  StartPeers({});
  InNetns in(net.cli());
  ASSERT_TRUE(in.ok());
  Begin();
  Reply rr = TreatUntil(3);
  ASSERT_EQ(rr.status(), 0) << ReadFile(gw_log);
  ASSERT_EQ(rr.state(), 4);
  ASSERT_GE(rr.payload.size(), 28u);
  uint32_t a = load_le32(rr.payload.data() + 4), b = load_le32(rr.payload.data() + 8);
  EXPECT_EQ(a, 64u);
  EXPECT_EQ(load_le32(rr.payload.data() + 20), 0u);
  EXPECT_EQ(load_le32(rr.payload.data() + 24), 0u);
  EXPECT_EQ(rr.payload.size(), 28u + a + b);

  Bytes block = Finish(rr);
  EXPECT_EQ(states, (std::vector<uint8_t>{2, 2, 2, 1, 3, 3, 3, 4, 4, 5, 6, 7}));
  std::string keys = ReadFile(keys_file);
  EXPECT_EQ(keys, Hex(block) + "\n") << ReadFile(gw_log);
}

TEST_F(NetnsHandshake, FragmentedShuffledDuplicatedVariant16) {
  StartPeers({"--variant", "16", "--fragment", "48", "--shuffle", "--duplicate"});
  InNetns in(net.cli());
  ASSERT_TRUE(in.ok());
  Begin();
  Reply rr = TreatUntil(3);
  ASSERT_EQ(rr.status(), 0) << ReadFile(gw_log);
  ASSERT_EQ(rr.state(), 4);
  Bytes block = Finish(rr);
  EXPECT_EQ(states.back(), 7);
  EXPECT_EQ(ReadFile(keys_file), Hex(block) + "\n");
}

TEST_F(NetnsHandshake, BadCheckValueIsRefusedAndTheStateStays) {
  StartPeers({"--fault", "bad-crc"});
  InNetns in(net.cli());
  ASSERT_TRUE(in.ok());
  Begin();
  Reply rr = TreatUntil(3);
  EXPECT_EQ(rr.status(), 4);
  EXPECT_EQ(rr.state(), 3);
}

}  // namespace
