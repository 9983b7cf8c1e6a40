// The status file: its two forms, the escaping, the deferred write, the
// generation guard of the stale reset, and the nudge's rewrites.
#include "Service/common/core/status_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "cross/utils/execution_dir.h"
#include "tests/common/test_dir.h"
#include "tests/service/service_env.h"

namespace {

std::string statusFile() { return std::string(installDir) + "/status.json"; }

bool eventually(const std::function<bool()>& cond, int ms = 5000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

// A gateway record with every field the connected form reads.
veskcfgothertype gatewayRecord() {
  veskcfgothertype cfg{};
  cfg.gateway_addr = 0xCB007101;  // 203.0.113.1
  cfg.session_id = 0x5e551011;
  const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x10, 0xab, 0x0f};
  memcpy(cfg.adapter_mac, mac, 6);
  // Granted-right words behind the address are no part of the form.
  cfg.granted[0] = 0x2241;
  memcpy(cfg.tunnel_group, "group\\1", 7);
  memcpy(cfg.domain_name, "corp.example\n", 13);
  return cfg;
}

class StatusFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetConnectionStatus(); }
};

TEST_F(StatusFileTest, ResetFormIsTheFixed137Bytes) {
  ASSERT_TRUE(ResetConnectionStatus());
  std::string text = readWholeFile(statusFile());
  EXPECT_EQ(text.size(), 137u);
  EXPECT_EQ(text, kStatusJsonReset);
  EXPECT_EQ(text.back(), '}');
}

TEST(JsonEscapeTest, EscapesQuotesBackslashesAndControlBytesOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
      {"\xd0\x9f\xd1\x80\xd0\xb8", "\xd0\x9f\xd1\x80\xd0\xb8"},  // UTF-8 passes unchanged
      {"\x7f", "\x7f"},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonEscape(c.in), c.out) << c.in;
}

TEST(FieldToStringTest, StopsAtTheFirstNulOrTakesTheWholeField) {
  const uint8_t bytes[4] = {'a', 'b', 0, 'c'};
  EXPECT_EQ(FieldToString(bytes, 4), "ab");
  const uint8_t full[3] = {'x', 'y', 'z'};
  EXPECT_EQ(FieldToString(full, 3), "xyz");
}

TEST(ConnectedJsonTest, MembersInOrderEscapedWithDefaultSubjectFields) {
  veskcfgothertype cfg = gatewayRecord();
  EXPECT_EQ(BuildConnectedJson(cfg, "R\"U", "login\t1", ""),
            "{\"gateway\":\"203.0.113.1\",\"session\":\"1582632977\",\"status\":\"connected\","
            "\"dname\":\"corp.example\\n\",\"tungroup\":\"group\\\\1\",\"radiuslogin\":\"login\\t1\","
            "\"nicmac\":\"02:00:5E:10:AB:0F\",\"CN\":\"\",\"OU\":\"\",\"DC\":\"\",\"country\":\"R\\\"U\"}");
}

TEST(ConnectedJsonTest, SubjectFieldsInsertedAsGivenAndZeroGateway) {
  veskcfgothertype cfg{};
  std::string json = BuildConnectedJson(cfg, "", "", "\"CN\":\"n\",\"OU\":\"o\",\"DC\":\"d\"");
  EXPECT_NE(json.find("{\"gateway\":\"0.0.0.0\","), std::string::npos) << json;
  EXPECT_NE(json.find("\"nicmac\":\"00:00:00:00:00:00\",\"CN\":\"n\",\"OU\":\"o\",\"DC\":\"d\",\"country\":\"\"}"),
            std::string::npos)
      << json;
}

TEST_F(StatusFileTest, WriteBeforeCachingIsDeferredUntilTheConnectedFormArrives) {
  ASSERT_TRUE(WriteStatusJson());
  EXPECT_EQ(readWholeFile(statusFile()), kStatusJsonReset);
  veskcfgothertype cfg = gatewayRecord();
  CacheConnectedStatusJson("", cfg, "RU", "", "");
  EXPECT_EQ(readWholeFile(statusFile()), BuildConnectedJson(cfg, "RU", "", ""));
}

TEST_F(StatusFileTest, CachingWithoutARequestWritesNothingUntilAsked) {
  veskcfgothertype cfg = gatewayRecord();
  CacheConnectedStatusJson("{\"from\":\"gateway\", unchecked", cfg, "RU", "", "");
  EXPECT_EQ(readWholeFile(statusFile()), kStatusJsonReset);
  ASSERT_TRUE(WriteStatusJson());
  // The gateway's own text goes out as it came, not escaped or checked.
  EXPECT_EQ(readWholeFile(statusFile()), "{\"from\":\"gateway\", unchecked");
}

TEST_F(StatusFileTest, StaleResetLeavesANewerConnectedStatusAlone) {
  veskcfgothertype cfg = gatewayRecord();
  CacheConnectedStatusJson("", cfg, "RU", "", "");
  uint64_t old = StatusJsonGeneration();
  CacheConnectedStatusJson("{\"newer\":1}", cfg, "RU", "", "");
  ASSERT_TRUE(WriteStatusJson());
  EXPECT_TRUE(ResetConnectionStatusIfStale(old));
  EXPECT_EQ(readWholeFile(statusFile()), "{\"newer\":1}");
  EXPECT_TRUE(ResetConnectionStatusIfStale(StatusJsonGeneration()));
  EXPECT_EQ(readWholeFile(statusFile()), kStatusJsonReset);
  // Nothing cached: nothing to do, and nothing is pending afterwards.
  EXPECT_TRUE(ResetConnectionStatusIfStale(StatusJsonGeneration()));
}

TEST_F(StatusFileTest, AFailedWriteLeavesTheOldFile) {
  TestDir elsewhere;
  char saved[sizeof installDir];
  memcpy(saved, installDir, sizeof installDir);
  snprintf(installDir, sizeof installDir, "%s/missing", elsewhere.path().c_str());
  EXPECT_FALSE(WriteFileAtomic("lost"));
  memcpy(installDir, saved, sizeof installDir);
  EXPECT_EQ(readWholeFile(statusFile()), kStatusJsonReset);
}

std::atomic<uint8_t> g_level{2};
std::atomic<int> g_queries{0};
int fakeAccessLevel(uint8_t* level, int* flag) {
  g_queries++;
  *level = g_level;
  *flag = 1;
  return 0;
}

// One test for the nudge thread, since stopping it is for good.
TEST_F(StatusFileTest, NudgeRewritesWhileAccessWaitsThenStopsForGood) {
  const unsigned shortDelays[3] = {20, 20, 20};
  SetComplianceNudge(fakeAccessLevel, shortDelays);
  veskcfgothertype cfg = gatewayRecord();
  std::string json = BuildConnectedJson(cfg, "RU", "", "");

  // Access waits for the agent: three rewrites, odd ones with a line end.
  CacheConnectedStatusJson("", cfg, "RU", "", "");
  ASSERT_TRUE(WriteStatusJson());
  ArmComplianceNudge();
  // The third rewrite, the last of the cycle, ends with a line end.
  ASSERT_TRUE(eventually([&] { return g_queries == 3 && readWholeFile(statusFile()) == json + "\n"; }));

  // Another level ends the cycle after its first query, without a rewrite.
  g_level = 1;
  g_queries = 0;
  ASSERT_TRUE(ResetConnectionStatus());
  CacheConnectedStatusJson("", cfg, "RU", "", "");
  ASSERT_TRUE(WriteStatusJson());
  ArmComplianceNudge();
  ASSERT_TRUE(eventually([] { return g_queries == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(g_queries, 1);
  EXPECT_EQ(readWholeFile(statusFile()), json);

  StopComplianceNudge();
  g_level = 2;
  g_queries = 0;
  ArmComplianceNudge();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(g_queries, 0);
}

}  // namespace
