// The connection stages' own parts: the SYN request's pieces (sent on a
// real gateway socket and gathered again by the gateway simulator), the
// cancel test and the log text of the gateway's dynamic configuration.
#include "Service/common/core/connection_stages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "Service/common/engine/gateway_socket.h"
#include "crypto/gost3410.h"
#include "cross/utils/connect_initiator.h"
#include "kernel/filter/wire_format.h"
#include "kernel/include/drv_requests.h"
#include "tests/core/loopback_gateway.h"
#include "tests/engine/engine_fixture.h"
#include "tools/gwsim/handshake_peer.h"

namespace {

using enginetest::Bytes;
using enginetest::FramedArea;

TEST(SynRequestFragmentsTest, PiecesAndOffsetsFollowTheHeaderLength) {
  struct Case {
    uint32_t L, H;
    std::vector<uint32_t> lengths;
    std::vector<uint16_t> offsets;  // of the pieces after the first
  } cases[] = {
      {3000, 60, {1041, 1041, 1038}, {981, 1962}},
      {3000, 0, {3000}, {}},
      {500, 60, {500}, {}},                  // one piece: the body fits
      {1500, 32, {767, 765}, {735}},         // two pieces of a 32-byte header
      {1440, 1, {721, 720}, {720}},
  };
  for (const Case& c : cases) {
    std::vector<SynFragment> f = SynRequestFragments(c.L, c.H);
    ASSERT_EQ(f.size(), c.lengths.size()) << c.L << "/" << c.H;
    uint32_t bodyEnd = 0;
    for (size_t i = 0; i < f.size(); i++) {
      EXPECT_EQ(f[i].length, c.lengths[i]) << c.L << "/" << c.H << " piece " << i;
      if (c.H > 0) {
        EXPECT_LE(f[i].length, SYNRQ_DATAGRAM_MAX);
      }
      EXPECT_EQ(f[i].stampOffset, i > 0);
      if (i > 0) {
        EXPECT_EQ(f[i].offsetWord, c.offsets[i - 1]);
      }
      bodyEnd = f[i].start + f[i].length;
    }
    EXPECT_EQ(bodyEnd, c.L);
  }
}

class SynRequestSendTest : public enginetest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_NE(gateway.port, 0);
    ASSERT_EQ(openSocket(), 0);
    uint16_t localPort = 0;
    uint32_t localIp = 0;
    ASSERT_EQ(connectSocket(INADDR_LOOPBACK, gateway.port, &localPort, &localIp), 0);
  }
  void TearDown() override {
    GatewaySocket_Stop();
    EngineTest::TearDown();
  }
  // The datagrams the gateway got, each within a bounded wait.
  std::vector<Bytes> received(size_t count, int waitMs = 2000) {
    std::vector<Bytes> out;
    while (out.size() < count) {
      pollfd p{gateway.fd, POLLIN, 0};
      if (poll(&p, 1, waitMs) <= 0) break;
      Bytes d(65536);
      ssize_t n = recv(gateway.fd, d.data(), d.size(), 0);
      if (n < 0) break;
      d.resize(static_cast<size_t>(n));
      out.push_back(d);
    }
    return out;
  }
  // The filter's reply holding request (its own header of H bytes).
  static Bytes replyHolding(const Bytes& request, uint32_t H) {
    Bytes reply(sizeof(DrvRequestHeader), 0);
    enginetest::Put32(reply, 16, H);
    enginetest::Put32(reply, 20, static_cast<uint32_t>(request.size()));
    reply.insert(reply.end(), request.begin(), request.end());
    reply.resize(ENGINE_PACKET_SIZE, 0);
    return reply;
  }
  void nextSynNumberIs(uint8_t n) { filter.areas[RQC_GETNEXTSYNPACKETNUMBER] = FramedArea(CS_WAIT_SYNRR, 0, {n}); }
  LoopbackGateway gateway;
};

// A SYN request as the filter builds one: variant 17, the client's key in
// the 'A' block (with room to spare), the authentication variant last.
Bytes synRequest(size_t materialSize) {
  using namespace zor::wire;
  Bytes d(kSynRqHead17, 0);
  memset(d.data() + 12, 0x5a, 16);  // the client's nonce
  Bytes material(materialSize, 0x33);
  const uint8_t priv[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  R3410_256_PubKey(R34101_SelectParams(R3410_PARAMSET_256_A), material.data(), priv);
  d.resize(kSynRqHead17 + 4 + materialSize + 5, 0);
  uint32_t used = 0;
  TLVPut(d.data() + kSynRqHead17, 4 + materialSize + 5, &used, kTagA, material.data(),
         static_cast<uint16_t>(materialSize), nullptr);
  uint8_t variant = 1;
  TLVPut(d.data() + kSynRqHead17, 4 + materialSize + 5, &used, kTagAuthVariant, &variant, 1, nullptr);
  d.resize(kSynRqHead17 + used + 4);
  PutHeader(d.data(), kSynRq, 17, static_cast<uint16_t>(used));
  SealCrc(d.data(), static_cast<uint32_t>(d.size()));
  return d;
}

TEST_F(SynRequestSendTest, TheSpecExampleGoesOutInThreePiecesWithTheirOffsets) {
  nextSynNumberIs(0);
  Bytes request(3000);
  for (size_t i = 0; i < request.size(); i++) request[i] = static_cast<uint8_t>(i * 7);
  request[8] = 0;
  Bytes reply = replyHolding(request, 60);
  int32_t error = 0;
  ASSERT_EQ(CreateAndSendSynRQPacket(reply.data(), ENGINE_PACKET_SIZE, &error), 0) << error;
  std::vector<Bytes> got = received(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].size(), 1041u);
  EXPECT_EQ(got[1].size(), 1041u);
  EXPECT_EQ(got[2].size(), 1038u);
  // Every piece carries the header; the later ones end it in their offset.
  for (const Bytes& piece : got) EXPECT_EQ(memcmp(piece.data(), request.data(), 58), 0);
  EXPECT_EQ(got[0][58] | got[0][59] << 8, request[58] | request[59] << 8);
  EXPECT_EQ(got[1][58] | got[1][59] << 8, 981);
  EXPECT_EQ(got[2][58] | got[2][59] << 8, 1962);
  EXPECT_EQ(memcmp(got[2].data() + 60, request.data() + 60 + 1962, 978), 0);
}

TEST_F(SynRequestSendTest, TheGatewayGathersThePiecesOfARestampedRequest) {
  nextSynNumberIs(3);
  Bytes request = synRequest(2900);
  Bytes reply = replyHolding(request, zor::wire::kSynRqHead17);
  int32_t error = 0;
  ASSERT_EQ(CreateAndSendSynRQPacket(reply.data(), ENGINE_PACKET_SIZE, &error), 0) << error;
  std::vector<Bytes> got = received(3);
  ASSERT_EQ(got.size(), 3u);
  gwsim::HandshakePeer peerGateway(gwsim::Options{});
  std::vector<Bytes> answer;
  for (const Bytes& piece : got) answer = peerGateway.Handle(piece.data(), piece.size());
  // The whole request, with the new try counter and its new trailer, checks.
  EXPECT_EQ(peerGateway.error(), "");
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(g_current_trycounter, 3u);
  EXPECT_NE(enginetest::LogText().find("Trycounter set to 3"), std::string::npos);
}

TEST_F(SynRequestSendTest, RefusesARequestThatDoesNotFitItsBuffer) {
  nextSynNumberIs(1);
  Bytes reply = replyHolding(Bytes(100, 0), 0);
  enginetest::Put32(reply, 20, ENGINE_PACKET_SIZE);  // longer than the buffer
  int32_t error = 0;
  EXPECT_EQ(CreateAndSendSynRQPacket(reply.data(), ENGINE_PACKET_SIZE, &error), CONNECT_SYNRQ_FAILED);
  EXPECT_EQ(error, CONNECT_ERR_BAD_SIZE);
  EXPECT_TRUE(received(1, 300).empty());
}

TEST_F(SynRequestSendTest, NoTryCounterFromTheFilterSendsNothing) {
  int32_t error = 0;
  Bytes reply = replyHolding(Bytes(100, 0), 0);
  EXPECT_EQ(CreateAndSendSynRQPacket(reply.data(), ENGINE_PACKET_SIZE, &error), CONNECT_SYNRQ_FAILED);
  EXPECT_NE(error, 0);
  EXPECT_TRUE(received(1, 300).empty());
}

TEST(InterruptTest, TheInitiatorsLossAndCommand30EachStopTheAttemptOnce) {
  auto& tracker = zorvik::connect_initiator::tracker();
  int32_t result = 0, error = 0;
  interrupt_connection = false;
  tracker.begin(4);
  EXPECT_FALSE(is_interupt_connecton(result, error));
  EXPECT_EQ(result, 0);
  interrupt_connection = true;
  EXPECT_TRUE(is_interupt_connecton(result, error));
  EXPECT_EQ(result, CONNECT_CANCELLED);
  EXPECT_EQ(error, CONNECT_ERR_CANCELLED);
  EXPECT_FALSE(is_interupt_connecton(result, error));  // the flag was taken
  EXPECT_TRUE(tracker.markLostIfInitiator(4));
  EXPECT_TRUE(is_interupt_connecton(result, error));
  EXPECT_TRUE(is_interupt_connecton(result, error));  // a lost initiator stays lost
  tracker.end(4);
  EXPECT_FALSE(is_interupt_connecton(result, error));
}

Bytes entries(std::initializer_list<std::array<uint32_t, 3>> list) {
  Bytes b;
  for (const auto& e : list) {
    for (uint32_t v : e) {
      for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
  }
  return b;
}

TEST(DynCfgTextTest, WholeEntriesOnlyWithPrefixAndKind) {
  Bytes cfg = entries({{0xC6336400, 24, 1}, {0xC6336435, 32, 0}, {0xC0000201, 32, 7}});
  EXPECT_EQ(DynCfgText(cfg.data(), static_cast<uint32_t>(cfg.size())),
            "\n\n----- Dynamic configuration info -----\n"
            "\t198.051.100.000 / 24\n\t198.051.100.053 (dns)\n\t192.000.002.001 (7)\n");
  // 25 bytes: two entries, the last byte ignored; 0 bytes: nothing.
  std::string two = DynCfgText(cfg.data(), 25);
  EXPECT_EQ(two.find("192.000"), std::string::npos);
  EXPECT_NE(two.find("198.051.100.053 (dns)\n"), std::string::npos);
  EXPECT_EQ(DynCfgText(cfg.data(), 0), "");
}

}  // namespace
