#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cross/utils/connect_initiator.h"
#include "cross/utils/service_hooks.h"
#include "tests/service/service_env.h"

namespace {

using zorvik::connect_initiator::Tracker;

TEST(ConnectInitiator, MarksOnlyTheNamedInitiatorAndEndsOnlyItsOwnAttempt) {
  Tracker t;
  EXPECT_EQ(t.initiator(), -1);
  EXPECT_FALSE(t.markLostIfInitiator(-1));  // no attempt: -1 names nobody
  t.begin(4);
  EXPECT_FALSE(t.markLostIfInitiator(5));
  EXPECT_FALSE(t.initiatorLost());
  EXPECT_TRUE(t.markLostIfInitiator(4));
  EXPECT_TRUE(t.initiatorLost());
  t.end(5);  // another client's end changes nothing
  EXPECT_EQ(t.initiator(), 4);
  EXPECT_TRUE(t.initiatorLost());
  t.begin(6);  // a new attempt starts unmarked
  EXPECT_FALSE(t.initiatorLost());
  t.end(6);
  EXPECT_EQ(t.initiator(), -1);
  EXPECT_FALSE(t.initiatorLost());
  EXPECT_EQ(&zorvik::connect_initiator::tracker(), &zorvik::connect_initiator::tracker());
}

int g_calls = 0;
int countingDisconnect(const char*, int, const char*, int) { return ++g_calls; }

TEST(ServiceHandlers, StandingHandlersAnswerUnchangedAndDisconnectClearsTheOwner) {
  ServiceHandlers before = IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
  auto msg = std::make_unique<ServicePipeMessage_t>();
  memset(msg.get(), 0x5A, sizeof *msg);
  auto copy = std::make_unique<ServicePipeMessage_t>(*msg);
  AnswerClientMessage(msg.get());
  AnswerClientConnectRequest(msg.get());
  EXPECT_EQ(memcmp(msg.get(), copy.get(), sizeof *msg), 0);
  g_TunnelOwnerClientN = 3;
  EXPECT_EQ(disConnect("Tunnel owner IPC connection lost", 0, "Service/common/Disconnect", 77), 0);
  EXPECT_EQ(g_TunnelOwnerClientN, -1);
  EXPECT_NE(ServiceLogText().find("Disconnect:77; disConnect; p"), std::string::npos);
  RestoreSuffixesAfterUnmanagedDisconnect("any");

  // Installed handlers take over; a null member keeps the standing one.
  IPC_SetServiceHandlers({nullptr, nullptr, countingDisconnect, nullptr});
  g_TunnelOwnerClientN = 3;
  EXPECT_EQ(disConnect("x", 1, __FILE__, __LINE__), 1);
  EXPECT_EQ(g_TunnelOwnerClientN, 3);
  AnswerClientMessage(msg.get());
  EXPECT_EQ(memcmp(msg.get(), copy.get(), sizeof *msg), 0);
  IPC_SetServiceHandlers(before);
  g_TunnelOwnerClientN = -1;
}

}  // namespace
