// What solvarin-cli says about the daemon's replies and pushes, and the exit
// status each leads to.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/push_words.h"
#include "tools/solvarin-cli/reply_words.h"

namespace {

std::unique_ptr<ServicePipeMessage_t> message(uint32_t code, uint32_t result, uint32_t value1 = 0, uint32_t value2 = 0,
                                              int32_t clientN = 0) {
  auto m = std::make_unique<ServicePipeMessage_t>();
  memset(m.get(), 0, sizeof *m);
  m->code = code;
  m->clientN = clientN;
  m->result = result;
  m->value1 = value1;
  m->value2 = value2;
  return m;
}

uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }

struct ConnectCase {
  uint32_t result, state, error;
  int32_t ownVerdict;
  int exitCode;
  const char* words;
};

TEST(CliWords, ConnectRepliesSayWhyAndExitByKind) {
  const ConnectCase cases[] = {
      {0, 7, 0, 0, kExitOk, "connected (tunnel state 7)"},
      {7, 3, 111, 0, kExitNoGateway, "error 111: Connection refused"},
      {2, 0, 51, 0, kExitNoGateway, "error 51: No gateway address"},
      {5, 2, ENETUNREACH, 0, kExitNoGateway, "error 101: Network is unreachable"},
      {8, 5, 16, 0, kExitNoGateway, "error 16: No answer from the gateway"},
      {7, 4, u(-5), 0, kExitAuthentication, "error -5: Not possible in the current connection state"},
      {7, 3, u(-16), 0, kExitAuthentication, "error -16: The gateway refused the SYN request"},
      {7, 5, 67, 0, kExitAuthentication, "error 67: The gateway refused the SYN OK"},
      {8, 5, u(-9999), 0, kExitAuthentication, "error -9999: Confirmation time exceeded"},
      {7, 4, 5, 5, kExitAuthentication, "this client refused the gateway's PKI data (verdict 5"},
      {1, 3, u(-9998), 0, kExitInterrupted, "error -9998: Connection cancelled"},
      {1, 4, 16, 0, kExitRefused, "a state no stage handles"},
      {10, 3, 0, 0, kExitRefused, "another connect or disconnect is in progress"},
      {11, 7, 0, 0, kExitRefused, "owned by another client"},
      {9, 6, u(-22), 0, kExitRefused, "error -22: Request value out of range"},
  };
  for (const ConnectCase& c : cases) {
    auto m = message(3, c.result, c.state, c.error);
    Meaning meaning = ConnectionReplyMeaning(*m, {c.ownVerdict, "203.0.113.1", 5});
    EXPECT_EQ(meaning.exitCode, c.exitCode) << c.words;
    EXPECT_NE(meaning.words.find(c.words), std::string::npos) << meaning.words;
  }
}

// Every kind of connect failure, by the result and error that show it.
TEST(CliWords, EachConnectFailureKindHasItsExitStatus) {
  const struct {
    const char* kind;
    uint32_t result;
    int32_t error;
    int exitCode;
  } cases[] = {
      {"host unreachable", 7, EHOSTUNREACH, kExitNoGateway},
      {"the gateway socket could not be used", 5, EACCES, kExitNoGateway},
      {"network unreachable", 7, ENETUNREACH, kExitNoGateway},
      {"refused (nothing listens)", 7, ECONNREFUSED, kExitNoGateway},
      {"no answer", 7, 16, kExitNoGateway},
      {"no answer to the SYN OK", 8, 16, kExitNoGateway},
      {"socket time-out", 7, ETIMEDOUT, kExitNoGateway},
      {"no gateway address", 2, 51, kExitNoGateway},
      {"the gateway refused the SYN request", 7, -16, kExitAuthentication},
      {"the gateway refused the SYN OK", 7, 67, kExitAuthentication},
      {"the gateway's certificate status", 7, 65, kExitAuthentication},
      {"one-time password", 8, 62, kExitAuthentication},
      {"the PKI push timed out", 8, -9999, kExitAuthentication},
      {"credentials not accepted", 7, -5, kExitAuthentication},
      {"interrupted", 1, -9998, kExitInterrupted},
      {"refused by the filter: a set-up request", 4, -5, kExitRefused},
      {"refused by the filter: the session keys", 9, -22, kExitRefused},
      {"a state no stage handles", 1, 16, kExitRefused},
      {"busy", 10, 0, kExitRefused},
      {"owned by another client", 11, 0, kExitRefused},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectExitStatus(c.result, c.error), c.exitCode) << c.kind;
}

// A failure on the link to the gateway says first what happened there, then
// the raw result and error; the words of result 7 are not given for it.
TEST(CliWords, LinkFailuresSayWhatHappenedFirst) {
  const struct {
    uint32_t result, error;
    const char* words;
  } cases[] = {
      {7, 16, "not connected: no answer from the gateway 203.0.113.1 within 6 s (result 7); error 16: "},
      {8, 16, "not connected: no answer from the gateway 203.0.113.1 within 6 s (result 8); error 16: "},
      {7, 111, "not connected: the gateway refused the connection (result 7); error 111: Connection refused"},
      {5, EHOSTUNREACH, "not connected: the gateway 203.0.113.1 cannot be reached (host unreachable) (result 5)"},
  };
  for (const auto& c : cases) {
    Meaning m = ConnectionReplyMeaning(*message(3, c.result, 3, c.error), {0, "203.0.113.1", 6});
    EXPECT_EQ(m.words.rfind(c.words, 0), 0u) << m.words;
    EXPECT_EQ(m.words.find("credentials"), std::string::npos) << m.words;
    EXPECT_EQ(m.exitCode, kExitNoGateway) << m.words;
  }
  Meaning unknownGateway = ConnectionReplyMeaning(*message(3, 7, 3, 16), {0, "", 2});
  EXPECT_EQ(unknownGateway.words.rfind("not connected: no answer from the gateway within 2 s (result 7)", 0), 0u)
      << unknownGateway.words;
}

TEST(CliWords, DisconnectRepliesTellWhetherTheTunnelWentDown) {
  Meaning down = ConnectionReplyMeaning(*message(6, 0));
  EXPECT_EQ(down.exitCode, kExitOk);
  EXPECT_EQ(down.words, "disconnected: not connected");
  Meaning kept = ConnectionReplyMeaning(*message(6, 7));
  EXPECT_EQ(kept.exitCode, kExitRefused);
  EXPECT_NE(kept.words.find("owned by another client"), std::string::npos);
}

TEST(CliWords, StatisticsAreLabelledAndSignedStatusesSigned) {
  auto m = message(18, 0);
  const uint32_t head[] = {0xFFFFFFFFu, 0, 0, 0, 0xCB007101u /* 203.0.113.1 */, 2 /* gateway */};
  const uint32_t counters[] = {3, 0, 2, 1};
  memcpy(m->payload, head, sizeof head);
  memcpy(m->payload + 24, counters, sizeof counters);
  Meaning entry = RequestReplyMeaning(*m, {0, 1});
  EXPECT_EQ(entry.words,
            "entry 1: 203.0.113.1 (gateway), expires never; packets tunnelled 3, malformed 0, passed 2, refused 1");
  Meaning failed = RequestReplyMeaning(*message(18, u(-1002)), {4, 0});
  EXPECT_EQ(failed.exitCode, kExitRefused);
  EXPECT_EQ(failed.words, "no statistics: error -1002: The filter's reply has a wrong size");

  auto fw = message(35, 0);
  const uint32_t figures[] = {4, 50216, 7, 9};
  memcpy(fw->payload, figures, sizeof figures);
  EXPECT_EQ(RequestReplyMeaning(*fw, {}).words,
            "firewall: sessions 4, session table 50216 bytes, throughput (bytes per 2^20 time units) all 7, tunnelled 9");
  Meaning rules = RequestReplyMeaning(*message(16, u(-7)), {});
  EXPECT_EQ(rules.exitCode, kExitRefused);
  EXPECT_EQ(rules.words, "refused: error -7: Local rules out of order or of the wrong size");
}

TEST(CliWords, CodesTheRequestSocketSendsBackAreRefused) {
  for (uint32_t code : {2u, 3u, 6u, 34u, 42u, 99u}) {
    Meaning m = RequestReplyMeaning(*message(code, 5), {});
    EXPECT_EQ(m.exitCode, kExitRefused) << code;
    EXPECT_EQ(m.words, "not a command of the request socket: sent back unchanged") << code;
  }
  EXPECT_EQ(RequestReplyMeaning(*message(1, 3, 1), {}).words, "connecting (waiting for the gateway)");
  EXPECT_EQ(RequestReplyMeaning(*message(1, 3, 0), {}).words, "connect failed (stopped at: waiting for the gateway)");
}

TEST(CliWords, PushesThatEndTheTunnelNameTheReason) {
  const int own = 1;
  EXPECT_EQ(TunnelDownReason(*message(50, 0, 0, 0, 3), own), "disconnected by client 3");
  EXPECT_EQ(TunnelDownReason(*message(50, 0, 0, 0, own), own), "the filter reported the tunnel down");
  EXPECT_EQ(TunnelDownReason(*message(50, 0, 0, 1, own), own), "the filter asked for a reconnect");
  EXPECT_EQ(TunnelDownReason(*message(50, 0, 0, 3, -1), own), "cleaned up after stand-by");
  EXPECT_EQ(TunnelDownReason(*message(63, 0, 74), own), "session time-out");
  EXPECT_EQ(TunnelDownReason(*message(63, 0, 68), own), "ended by the gateway");
  EXPECT_EQ(TunnelDownReason(*message(45, 1, 0, 0, -1), own), "the service is stopping");
  EXPECT_EQ(TunnelDownReason(*message(50, 7), own), "");
  EXPECT_EQ(TunnelDownReason(*message(51, 32, 3080), own), "");
  EXPECT_EQ(DescribePush(*message(60, u(-16))), "the gateway refused the SYN request, detail -16");
}

}  // namespace
