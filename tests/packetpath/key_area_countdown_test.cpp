// The tunnel timer's count-down of the client's two key areas: armed when
// the session starts, it clears both after its ticks of connected time.
#include <gtest/gtest.h>

#include <cstring>

#include "drv_requests.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using zor::tunnel::client;
using zor::tunnel::KeyArea;

// Ticks with the gateway answering, so that the session stays up.
void TickAnswered(Harness &h, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    h.Tick();
    h.ToGateway(h.Drain());
  }
}

bool Empty(const uint8_t *area) {
  static const uint8_t zero[64] = {};
  return memcmp(area, zero, sizeof zero) == 0;
}

TEST(KeyAreaCountdown, ClearsBothAreasWhenItRunsOut) {
  Harness h;
  ASSERT_TRUE(h.Connect());
  EXPECT_EQ(client.keyarea_countdown, GUARD_KEYAREA_LIFE_TICKS) << "armed at session start";
  strcpy(reinterpret_cast<char *>(KeyArea(0)), "user.login");
  strcpy(reinterpret_cast<char *>(KeyArea(1)), "password");

  TickAnswered(h, GUARD_KEYAREA_LIFE_TICKS - 1);
  ASSERT_EQ(client.state, 7);
  EXPECT_STREQ(reinterpret_cast<char *>(KeyArea(0)), "user.login");
  EXPECT_STREQ(reinterpret_cast<char *>(KeyArea(1)), "password");

  TickAnswered(h, 1);
  EXPECT_TRUE(Empty(KeyArea(0)));
  EXPECT_TRUE(Empty(KeyArea(1)));
  EXPECT_EQ(client.keyarea_countdown, 0u);
  EXPECT_EQ(client.state, 7) << "the session goes on";

  // Nothing pending: the areas given again stay.
  strcpy(reinterpret_cast<char *>(KeyArea(1)), "again");
  TickAnswered(h, 2);
  EXPECT_STREQ(reinterpret_cast<char *>(KeyArea(1)), "again");
}

TEST(KeyAreaCountdown, CountsOnlyConnectedTime) {
  Harness h;
  ASSERT_TRUE(h.Connect());
  strcpy(reinterpret_cast<char *>(KeyArea(0)), "user.login");
  TickAnswered(h, 10);
  ASSERT_EQ(h.Request(RQC_DISCONNECT, Bytes(8)), 24);
  h.Tick(GUARD_KEYAREA_LIFE_TICKS);
  EXPECT_STREQ(reinterpret_cast<char *>(KeyArea(0)), "user.login");
  EXPECT_EQ(client.keyarea_countdown, GUARD_KEYAREA_LIFE_TICKS - 10);
}

}  // namespace
}  // namespace pp
