#pragma once
// Connect attempts in-process: the IPC server of this process (for the
// client programs the attempt pushes to), the engine's scripted filter and
// a loopback gateway, with the gateway socket closed afterwards.
#include <string>

#include "Service/common/engine/gateway_socket.h"
#include "tests/core/loopback_gateway.h"
#include "tests/engine/engine_fixture.h"
#include "tests/service/ipc_test_support.h"

class AttemptTest : public enginetest::EngineTest {
 protected:
  void SetUp() override {
    std::string why;
    if (!StartPrivateIpcServer(&why)) GTEST_SKIP() << why;
    EngineTest::SetUp();
    ASSERT_NE(gateway.port, 0);
  }
  void TearDown() override {
    GatewaySocket_Stop();
    EngineTest::TearDown();
  }
  LoopbackGateway gateway;
};
