// The first-version list converted into the second-format set.
#include "cross/common/profile_convert.h"

#include <gtest/gtest.h>

#include <cstring>

#include "cross/common/profile_file_v1.h"
#include "cross/common/profile_file_v2.h"
#include "cross/common/profile_list.h"
#include "tests/profiles/profile_test_support.h"

namespace {

using ProfileConvert = ProfileTest;

std::string listText() {
  char buf[65536];
  unsigned len = sizeof buf;
  EXPECT_EQ(PC_List_SaveCfg(1, buf, &len, 0), 0);
  return std::string(buf, len);
}

TEST_F(ProfileConvert, FirstVersionFixtureGivesTheSecondVersionFile) {
  writeWholeFile(cfgPath(), DataFile("convert_v1.ini"));
  ASSERT_EQ(PC_List_ReadCfg(nullptr, 0), 0);
  const std::string list = listText();
  ConvertConfig_v1_To_v2();
  EXPECT_EQ(listText(), list);
  ASSERT_EQ(JSON_Write(cfgPath(), *g_ProfileConfigPtr), 0);
  EXPECT_EQ(readWholeFile(cfgPath()), DataFile("convert_v2.ini"));

  // The certificate texts live in memory only.
  const CertificateInfo& lab = g_ProfileConfigPtr->profiles[0].certificate;
  EXPECT_EQ(lab, (CertificateInfo{std::vector<unsigned char>(32, 0),
                                  "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "Сидоров", "lab",
                                  "sidorov@example.test", "CN=Сидоров"}));
  EXPECT_EQ(g_ProfileConfigPtr->profiles[1].certificate, CertificateInfo());
  EXPECT_EQ(g_ProfileConfigPtr->profiles[2].certificate.binUniqId.size(), 32u);
}

TEST_F(ProfileConvert, EmptyListKeepsTheOtherSetValues) {
  *g_ProfileConfigPtr = ProfileConfig{5, 9, 3, 4, std::vector<Profile>(2)};
  PC_List_Init();
  ConvertConfig_v1_To_v2();
  EXPECT_EQ(*g_ProfileConfigPtr, (ProfileConfig{5, 9, -1, 4, {}}));
}

TEST_F(ProfileConvert, RecordsWithOneIdStayApart) {
  PC_List_AddNewConfig(5);
  PC_List_AddNewConfig(6)->id = 5;
  ConvertConfig_v1_To_v2();
  ASSERT_EQ(g_ProfileConfigPtr->profiles.size(), 2u);
  EXPECT_EQ(g_ProfileConfigPtr->profiles[0].id, 5);
  EXPECT_EQ(g_ProfileConfigPtr->profiles[1].id, 5);
}

TEST_F(ProfileConvert, SlotTextsAndUserNames) {
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(1);
  p->type = PROFILE_TYPE_ONE_FACTOR;
  strcpy(p->certCN, "not kept");
  strcpy(p->userNames[1], "first");
  strcpy(p->userNames[3], "second");
  memset(p->tunnelGroup, 'g', sizeof p->tunnelGroup);
  memset(p->humanReadName, 'n', sizeof p->humanReadName);
  ConvertConfig_v1_To_v2();
  const Profile& c = g_ProfileConfigPtr->profiles[0];
  EXPECT_EQ(c.certificate, CertificateInfo());
  EXPECT_EQ(c.userNames, (std::list<std::string>{"first", "second"}));
  EXPECT_EQ(c.tunnelGroups, std::list<std::string>{std::string(21, 'g')});
  EXPECT_EQ(c.usingTunnelGroup, 0);
  EXPECT_EQ(c.humanReadName, std::string(64, 'n'));
  EXPECT_EQ(c.type_ext, 1);
}

// Empty slots close up; the selection follows its address to the new index.
TEST_F(ProfileConvert, SelectedGatewayFollowsItsAddress) {
  struct Case {
    uint32_t types[4];
    uint32_t selected;
    int32_t expected;
  } cases[] = {
      {{0, 1, 0, 1}, 3, 1},  {{0, 1, 0, 1}, 1, 0},           {{1, 1, 1, 1}, 2, 2},
      {{1, 0, 0, 0}, 0, 0},  {{1, 0, 1, 0}, 1, -1},  // an empty slot selects nothing
      {{1, 1, 1, 1}, 4, -1}, {{1, 1, 1, 1}, 0xFFFFFFFF, -1},
  };
  for (const Case& c : cases) {
    PC_List_Cleanup();
    PROFILE_CONFIG_t* p = PC_List_AddNewConfig(1);
    for (int i = 0; i < 4; i++) p->veskAddrs[i] = {c.types[i], {0xC0000201u + i}};
    p->usingVeskAddr = c.selected;
    ConvertConfig_v1_To_v2();
    const Profile& converted = g_ProfileConfigPtr->profiles[0];
    EXPECT_EQ(converted.usingVeskAddr, c.expected) << "slot " << c.selected;
    if (c.expected >= 0) {
      EXPECT_EQ(converted.getVESKAddr(), 0xC0000201u + c.selected);
    }
  }
}

}  // namespace
