// Bad input, both file versions: the result code, nothing changed in
// memory, and an unreadable second-version file moved aside.
#include <gtest/gtest.h>

#include "cross/common/profile_file_v1.h"
#include "cross/common/profile_file_v2.h"
#include "cross/common/profile_list.h"
#include "tests/profiles/profile_test_support.h"

namespace {

enum TextPath { THROWS, RETURNS };

struct BadInput {
  const char* name;
  std::string text;
  int v1;           // PC_List_ReadCfg on the file
  TextPath v1Text;  // PC_List_ReadCfg on the text: throws, or returns v1
  int v2;           // JSON_Read
};

void PrintTo(const BadInput& c, std::ostream* os) {
  *os << c.name;
}

std::string withCfg(void (*change)(json& cfg)) {
  json cfg = CfgJson();
  change(cfg);
  return json{{"profiles", {{{"cfg", cfg}}}}, {"size", 1}}.dump();
}

const BadInput kCases[] = {
    {"EmptyFile", "", -2, RETURNS, -2},
    {"WhiteSpace", " \n\t ", -2, THROWS, -2},
    {"EmptyObject", "{}", 0, RETURNS, 0},
    {"Array", "[]", -3, THROWS, -3},
    {"Number", "42", -3, THROWS, -3},
    {"TrailingGarbage", R"({"version": 1} x)", -2, THROWS, -2},
    {"SecondValue", "{} {}", -2, THROWS, -2},
    {"Comment", "{/* note */}", -2, THROWS, -2},
    {"Unterminated", R"({"profiles": [)", -2, THROWS, -2},
    {"InvalidUtf8", "{\"profiles\": [{\"humanReadName\": \"\xFF\"}]}", -2, THROWS, -2},
    {"RootVersionText", R"({"version": "1"})", -3, THROWS, -3},
    {"ProfilesObject", R"({"profiles": {}})", -3, THROWS, -3},
    {"ProfileNumber", R"({"profiles": [5]})", -3, THROWS, -3},
    {"IdText", R"({"profiles": [{"id": "7"}]})", -3, THROWS, -3},
    {"IdNull", R"({"profiles": [{"id": null}]})", -3, THROWS, -3},
    {"NameNumber", R"({"profiles": [{"humanReadName": 5}]})", -3, THROWS, -3},
    {"UserNamesText", R"({"profiles": [{"userNames": "a"}]})", -3, THROWS, -3},
    {"UserNameNumber", R"({"profiles": [{"userNames": ["a", 1]}]})", -3, THROWS, -3},
    {"AddressNumber", R"({"profiles": [{"veskAddrs": [3]}]})", -3, THROWS, -3},
    {"AddressUrlNumber", R"({"profiles": [{"veskAddrs": [{"fa_url": 3}]}]})", -3, THROWS, -3},
    {"AddressesObject", R"({"profiles": [{"veskAddrs": {}}]})", -3, THROWS, -3},
    {"CertificateArray", R"({"profiles": [{"certificate": []}]})", -3, THROWS, -3},
    {"CertificateIdNumber", R"({"profiles": [{"certificate": {"uniqId": 5, "strUniqId": 5}}]})", -3, THROWS,
     -3},
    {"TunnelGroupsObject", R"({"profiles": [{"tunnelGroups": {}}], "size": 1})", 0, RETURNS, -3},
    {"TunnelGroupNumber", R"({"profiles": [{"tunnelGroup": 5}], "size": 1})", -3, THROWS, 0},
    {"CfgArray", R"({"profiles": [{"cfg": []}], "size": 1})", -3, THROWS, 0},
    {"CfgWithoutSeal", withCfg([](json& c) { c.erase("ch_fcs32"); }), -3, THROWS, 0},
    {"CfgWithoutFlags", withCfg([](json& c) { c.erase("ch_flags"); }), -3, THROWS, 0},
    {"CfgShortGateways", withCfg([](json& c) { c["ch_veskipaddr"].erase(3); }), -3, THROWS, 0},
    {"CfgShortServers", withCfg([](json& c) { c["ch_serveripaddr"].erase(27); }), -3, THROWS, 0},
    {"CfgGatewaysNumber", withCfg([](json& c) { c["ch_veskipaddr"] = 5; }), -3, THROWS, 0},
    {"CfgServerText", withCfg([](json& c) { c["ch_serveripaddr"][27] = "x"; }), -3, THROWS, 0},
    {"CfgSealText", withCfg([](json& c) { c["ch_fcs32"] = "0"; }), -3, THROWS, 0},
    {"HugeId", R"({"profiles": [{"id": 1e300}], "size": 1})", -3, THROWS, -3},
    {"HugeNegativeStatus", R"({"profiles": [{"status": -1e300}], "size": 1})", -3, THROWS, -3},
    {"HugeGatewayAddress", withCfg([](json& c) { c["ch_veskipaddr"][0] = 1e300; }), -3, THROWS, 0},
    {"IntegerBeyond64Bits", R"({"size": 100000000000000000000})", -3, THROWS, -3},
    {"VersionWraps", R"({"profiles": [{"version": 300}], "size": 1})", 0, RETURNS, 0},
    {"FloatWraps", R"({"in_use": 18446744073709549568.5, "size": 0.9})", 0, RETURNS, 0},
    {"BooleanCounts", R"({"profiles": [{}], "size": true})", 0, RETURNS, 0},
    {"DuplicateIds", R"({"profiles": [{"id": 4}, {"id": 4}], "size": 2})", -3, RETURNS, 0},
};

class ProfileBadInput : public ProfileTest, public ::testing::WithParamInterface<BadInput> {
 protected:
  void seedList() {
    PC_List_Cleanup();
    PROFILE_CONFIG_t* p = PC_List_AddNewConfig(30);
    snprintf(p->humanReadName, sizeof p->humanReadName, "kept");
    PROFILE_CFG_LIST.in_use = 30;
  }
  static std::string listText() {
    char buf[8192];
    unsigned len = sizeof buf;
    EXPECT_EQ(PC_List_SaveCfg(1, buf, &len, 0), 0);
    return std::string(buf, len);
  }
  static ProfileConfig seededSet() {
    ProfileConfig set;
    set.in_use = 30;
    set.profiles.resize(1);
    set.profiles[0].id = 30;
    set.profiles[0].humanReadName = "kept";
    return set;
  }
};

TEST_P(ProfileBadInput, FirstVersionFromFile) {
  const BadInput& c = GetParam();
  seedList();
  const std::string before = listText();
  writeWholeFile(cfgPath(), c.text);
  EXPECT_EQ(PC_List_ReadCfg(nullptr, 0), c.v1);
  if (c.v1 != 0) {
    EXPECT_EQ(listText(), before);
  }
  EXPECT_EQ(readWholeFile(cfgPath()), c.text);
}

TEST_P(ProfileBadInput, FirstVersionFromText) {
  const BadInput& c = GetParam();
  seedList();
  const std::string before = listText();
  std::string text = c.text;
  if (text.empty()) {
    writeWholeFile(cfgPath(), text);  // an empty text reads the file
    EXPECT_EQ(PC_List_ReadCfg(text.data(), 0), c.v1);
  } else if (c.v1Text == THROWS) {
    EXPECT_THROW(PC_List_ReadCfg(text.data(), static_cast<int>(text.size())), json::exception);
  } else {
    EXPECT_EQ(PC_List_ReadCfg(text.data(), static_cast<int>(text.size())), c.v1);
  }
  if (c.v1Text == THROWS || c.v1 != 0) {
    EXPECT_EQ(listText(), before);
  }
}

TEST_P(ProfileBadInput, SecondVersionRead) {
  const BadInput& c = GetParam();
  writeWholeFile(cfgPath(), c.text);
  ProfileConfig set = seededSet();
  EXPECT_EQ(JSON_Read(cfgPath(), &set), c.v2);
  if (c.v2 != 0) {
    EXPECT_EQ(set, seededSet());
  }
}

TEST_P(ProfileBadInput, SecondVersionLoadMovesAnUnreadableFileAside) {
  const BadInput& c = GetParam();
  writeWholeFile(cfgPath(), c.text);
  *g_ProfileConfigPtr = seededSet();
  ASSERT_EQ(ReadConfig(), 0);
  if (c.v2 == 0) {
    EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
    return;
  }
  EXPECT_EQ(*g_ProfileConfigPtr, ProfileConfig());
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini.bad"});
  EXPECT_EQ(readWholeFile(cfgPath() + ".bad"), c.text);
  EXPECT_NE(LogText().find("Config is unreadable (error " + std::to_string(c.v2) + "), moved to " +
                           cfgPath() + ".bad"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, ProfileBadInput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<BadInput>& info) { return info.param.name; });

TEST_F(ProfileTest, FirstVersionMissingFileChangesNothing) {
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(30);
  EXPECT_EQ(PC_List_ReadCfg(nullptr, 0), -1);
  EXPECT_EQ(PROFILE_CFG_LIST.head, p);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 1u);
  ProfileConfig set;
  set.size = 4;
  EXPECT_EQ(JSON_Read(cfgPath(), &set), -1);
  EXPECT_EQ(set.size, 4);
}

}  // namespace
