// The engine's tests against a scripted filter endpoint: a fresh request
// channel pointed at the peer, engine state back to its start values, and
// a script that answers framed requests by code.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/engine/netlink_peer.h"

namespace enginetest {

// Replies by request code: a data area, or no answer for codes not listed.
struct FramedFilter {
  std::map<uint32_t, Bytes> areas;
  NetlinkPeer::Script script();
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  NetlinkPeer peer;
  FramedFilter filter;
};

// The daemon log so far (tests/service/service_env.h).
std::string LogText();

}  // namespace enginetest
