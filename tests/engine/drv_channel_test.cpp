// The request channel against a scripted endpoint: the bytes of a request,
// the reply checks (each malformed reply is a transport failure that closes
// the socket, and the next request reopens it without a second look-up),
// framed reply sizes and the time-out of a dead host.
#include <gtest/gtest.h>
#include <linux/netlink.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/handshake_requests.h"
#include "tests/engine/engine_fixture.h"

namespace enginetest {
namespace {

struct Malformed {
  const char* name;
  std::function<void(Bytes&)> mangle;  // applied to a good reply datagram
};

const Malformed kMalformed[] = {
    {"wrong sequence number", [](Bytes& r) { Put32(r, 8, 51); }},
    {"another command", [](Bytes& r) { r[16] = 2; }},
    {"attribute type 2", [](Bytes& r) { Put16(r, 22, 2); }},
    {"attribute past the message", [](Bytes& r) { Put16(r, 20, static_cast<uint16_t>(U32(r, 0) - 20 + 4)); }},
    {"attribute shorter than its header", [](Bytes& r) { Put16(r, 20, 7); }},
    {"netlink length past the datagram", [](Bytes& r) { Put32(r, 0, static_cast<uint32_t>(r.size() + 64)); }},
    {"netlink length below 24", [](Bytes& r) { Put32(r, 0, 20); }},
    {"short message", [](Bytes& r) { r.resize(16); Put32(r, 0, 16); }},
    {"another family", [](Bytes& r) { Put16(r, 4, kPeerEventFamily); }},
    {"netlink error", [](Bytes& r) { Put16(r, 4, 2); }},
};

class ChannelTest : public EngineTest {};

TEST_F(ChannelTest, MalformedRepliesFailReopenAndKeepTheFamily) {
  for (const Malformed& m : kMalformed) {
    SCOPED_TRACE(m.name);
    peer.set_script([&](const Request& req) -> std::optional<Bytes> {
      Bytes r = ReplyWith(req, FramedArea(2, 0, Bytes(88, 1)));
      m.mangle(r);
      return r;
    });
    DrvReply reply;
    EXPECT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply), DRV_CHANNEL_FAILED);
    EXPECT_EQ(ZorVpnNLSK, -1) << "the socket stays open after a bad reply";
    EXPECT_TRUE(reply.payload.empty());
    // The next request opens a new socket and needs no look-up.
    peer.set_script([](const Request& req) { return ReplyWith(req, FramedArea(2, 0, Bytes(88, 1))); });
    EXPECT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply), 0);
    EXPECT_EQ(reply.payload.size(), 88u);
  }
  EXPECT_EQ(peer.lookups(), 1);
  EXPECT_NE(LogText().find("Can't open device driver. IRP RQC_GETINFO (Code 0) err=5"), std::string::npos);
}

TEST_F(ChannelTest, ADeadHostIsGivenUpAndCountedAsFailure) {
  peer.set_script([](const Request&) { return std::nullopt; });
  DrvReply reply;
  EXPECT_EQ(DRV_Request(RQC_GETSTAGETIMEOUT, nullptr, 0, 0, reply), DRV_CHANNEL_FAILED);
  EXPECT_EQ(ZorVpnNLSK, -1);
  // The lock is free again: another request goes through.
  filter.areas[RQC_GETSTAGETIMEOUT] = FramedArea(0, 0, {5, 0, 0, 0});
  peer.set_script(filter.script());
  uint32_t seconds = 0;
  EXPECT_EQ(getStageTimeout(seconds), 0);
  EXPECT_EQ(seconds, 5u);
}

// A reply that comes after its request timed out, while the reopened
// socket is idle, is dropped before the next request (all replies carry
// sequence number 50: it would pass for the next one's).
TEST_F(ChannelTest, ALateReplyIsNotTakenForTheNextOne) {
  SendIRP_ReplyTimeoutMs = 100;
  Request first;
  int n = 0;
  peer.set_script([&](const Request& req) -> std::optional<Bytes> {
    if (n++ == 0) {
      first = req;
      return std::nullopt;
    }
    return ReplyWith(req, FramedArea(static_cast<uint8_t>(n), 0, Bytes(88, 0)));
  });
  DrvReply reply;
  EXPECT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply), DRV_CHANNEL_FAILED);
  ASSERT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply), 0);
  EXPECT_EQ(reply.header.state, 2);
  // The host answers the first request at last.
  int late = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
  Bytes stale = ReplyWith(first, FramedArea(1, 0, Bytes(88, 0)));
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = static_cast<uint32_t>(getpid());
  ASSERT_EQ(sendto(late, stale.data(), stale.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(stale.size()));
  close(late);
  ASSERT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply), 0);
  EXPECT_EQ(reply.header.state, 3) << "the late reply was taken for this request";
}

TEST_F(ChannelTest, RequestBytesAsTheFilterReadsThem) {
  Request seen;
  peer.set_script([&](const Request& req) {
    seen = req;
    return ReplyWith(req, FramedArea(3, 0, {}));
  });
  const uint8_t group[] = "tunnelgroup";
  DrvReply reply;
  ASSERT_EQ(DRV_Request(RQC_SETTUNNELGROUP, group, 12, 21, reply), 0);
  const Bytes& m = seen.message;
  // netlink header, genl header, attribute 1 = code + the 18436-byte area
  EXPECT_EQ(U32(m, 0), 20u + ((18436u + 8u + 3u) & ~3u));
  EXPECT_EQ(m[6] | m[7] << 8, 1);
  EXPECT_EQ(U32(m, 8), 50u);
  EXPECT_EQ(U32(m, 12), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(m[16], 1);
  EXPECT_EQ(m[17], 1);
  EXPECT_EQ(m[20] | m[21] << 8, 18436 + 8);
  EXPECT_EQ(m[22] | m[23] << 8, 1);
  EXPECT_EQ(seen.code, static_cast<uint32_t>(RQC_SETTUNNELGROUP));
  ASSERT_EQ(seen.data.size(), 18436u);
  EXPECT_EQ(U32(seen.data, 0), 18436u);  // the length prefix counts itself
  EXPECT_EQ(seen.data[4] | seen.data[5] << 8, 0x0209);
  EXPECT_EQ(U32(seen.data, 4 + 20), 21u);  // the room
  EXPECT_EQ(std::memcmp(&seen.data[28], group, 12), 0);
}

TEST_F(ChannelTest, NullDataSendsOnlyTheCode) {
  Request seen;
  peer.set_script([&](const Request& req) {
    seen = req;
    return ReplyWith(req, Bytes(8, 7));
  });
  uint32_t got = 99;
  EXPECT_EQ(SendIRP(IOCTL_CONFIRM, nullptr, 0, &got), 0);
  EXPECT_EQ(seen.message[20] | seen.message[21] << 8, 8);
  EXPECT_TRUE(seen.data.empty());
  EXPECT_EQ(got, 0u);  // nothing to copy the reply into
}

TEST_F(ChannelTest, ReplyShorterThanTheBufferLeavesZerosLongerIsCut) {
  uint8_t buf[4 + 16];
  std::memset(buf, 0xEE, sizeof buf);
  peer.set_script([](const Request& req) { return ReplyWith(req, Bytes{0, 0, 0, 0, 1, 2}); });
  uint32_t got = 0;
  EXPECT_EQ(SendIRP(IOCTL_GETDRVQUEUES, buf + 4, 16, &got), 0);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(buf[4], 1);
  EXPECT_EQ(buf[5], 2);
  for (int i = 6; i < 20; i++) EXPECT_EQ(buf[i], 0) << i;
  peer.set_script([](const Request& req) { return ReplyWith(req, Bytes(200, 3)); });
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(SendIRP(IOCTL_GETDRVQUEUES, buf + 4, 16, &got), 0);
  EXPECT_EQ(got, 16u);
}

TEST_F(ChannelTest, NegativeAnswerWordIsTheResult) {
  peer.set_script([](const Request& req) {
    Bytes a(8, 0);
    Put32(a, 0, static_cast<uint32_t>(-22));
    return ReplyWith(req, a);
  });
  DrvReply reply;
  EXPECT_EQ(DRV_Request(RQC_SETTUNNELGROUP, "x", 1, 21, reply), -22);
}

struct FramedCase {
  const char* name;
  Bytes area;
  int32_t result;
  size_t payload;
};

TEST_F(ChannelTest, FramedReplySizesAndStatuses) {
  Bytes tooLong = FramedArea(0, 0, Bytes(50, 1));
  Put32(tooLong, 24, 100);  // says 100, 50 came
  Bytes overRoom = FramedArea(0, 0, Bytes(18408, 1));
  Put32(overRoom, 24, 18409);
  const FramedCase cases[] = {
      {"length past what came", tooLong, DRV_REPLY_MALFORMED, 0},
      {"length over 18408", overRoom, DRV_REPLY_MALFORMED, 0},
      {"shorter than a header", Bytes(4 + 10, 0), DRV_REPLY_MALFORMED, 0},
      {"zero status, wrong magic", FramedArea(0, 0, Bytes(4, 1), 0x0902), DRV_REPLY_BAD_MAGIC, 4},
      {"status -5 keeps its payload", FramedArea(0, -5, Bytes(6, 1)), -5, 6},
      {"plain success", FramedArea(1, 0, Bytes(12, 1)), 0, 12},
  };
  for (const FramedCase& c : cases) {
    SCOPED_TRACE(c.name);
    filter.areas[RQC_GETINFO] = c.area;
    DrvReply reply;
    EXPECT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply), c.result);
    EXPECT_EQ(reply.payload.size(), c.payload);
  }
}

TEST_F(ChannelTest, OversizeRequestsAreRefusedBeforeSending) {
  DrvReply reply;
  Bytes big(18409, 0);
  EXPECT_EQ(DRV_Request(RQC_GETINFO, nullptr, 0, 18409, reply), DRV_REPLY_MALFORMED);
  EXPECT_EQ(DRV_Request(RQC_SETIPWHITELIST, big.data(), 18409, 0, reply), DRV_REPLY_MALFORMED);
  EXPECT_EQ(DRV_Request(RQC_SETIPWHITELIST, nullptr, 4, 4, reply), DRV_REPLY_MALFORMED);
  std::vector<uint8_t> out;
  EXPECT_EQ(DRV_RawRequest(IOCTL_SETVPNADAPTER, big.data(), 18433, out, nullptr), DRV_REPLY_MALFORMED);
  EXPECT_EQ(peer.total_requests(), 0);
}

TEST_F(ChannelTest, ReplyReadIsBounded) {
  DrvReply r;
  r.payload = {1, 2, 3, 4};
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_TRUE(r.read(1, out, 3));
  EXPECT_EQ(out[0], 2);
  EXPECT_FALSE(r.read(2, out, 3));
  EXPECT_FALSE(r.read(5, out, 0));
  EXPECT_EQ(out[0], 2);
}

TEST_F(ChannelTest, FailuresOfUnnamedCodesLogAQuestionMark) {
  peer.set_script([](const Request&) { return std::nullopt; });
  SendIRP_ReplyTimeoutMs = 50;
  uint8_t buf[8] = {};
  EXPECT_EQ(SendIRP(62, buf + 4, 4, nullptr), DRV_CHANNEL_FAILED);
  EXPECT_EQ(SendIRP(21, buf + 4, 4, nullptr), DRV_CHANNEL_FAILED);
  std::string log = LogText();
  EXPECT_NE(log.find("IRP ? (Code 62) err=5"), std::string::npos);
  EXPECT_NE(log.find("IRP ? (Code 21) err=5"), std::string::npos);
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// No kernel host here: the seam falls back to zornfhost's port, which the
// environment or a setting may move.
TEST(FilterSeamTest, HostPortFromEnvironmentOrSetting) {
  setenv("ZORNF_CONTROL_PORT", "0x7A4E0099", 1);
  FilterSeam_SetHostPort(0);
  FilterSeam s = FilterSeam_Get();
  EXPECT_EQ(s.protocol, NETLINK_USERSOCK);
  EXPECT_EQ(s.port, 0x7A4E0099u);
  FilterSeam_SetHostPort(0x7A4E0005);
  EXPECT_EQ(FilterSeam_Get().port, 0x7A4E0005u);
  unsetenv("ZORNF_CONTROL_PORT");
  FilterSeam_SetHostPort(0);
  EXPECT_EQ(FilterSeam_Get().port, FILTER_SEAM_HOST_PORT);
}

}  // namespace
}  // namespace enginetest
