// The profile list and the sealed configuration record.
#include "cross/common/profile_list.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/crc32.h"
#include "tests/profiles/profile_test_support.h"

namespace {

using ProfileList = ProfileTest;

std::vector<int> listedIds() {
  std::vector<int> ids;
  for (PROFILE_CONFIG_t* p = PROFILE_CFG_LIST.head; p != nullptr; p = p->next) ids.push_back(p->id);
  return ids;
}

TEST_F(ProfileList, AddingAnExistingIdReturnsItsRecord) {
  PROFILE_CONFIG_t* a = PC_List_AddNewConfig(4);
  PROFILE_CONFIG_t* b = PC_List_AddNewConfig(9);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a->status = 77;
  EXPECT_EQ(PC_List_AddNewConfig(4), a);
  EXPECT_EQ(a->status, 77u);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 2u);
  EXPECT_EQ(listedIds(), (std::vector<int>{4, 9}));
  EXPECT_EQ(PC_List_FindConfigByID(9), b);
  EXPECT_EQ(PC_List_FindConfigByID(5), nullptr);
}

TEST_F(ProfileList, NewRecordsAreZeroFilled) {
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(3);
  ASSERT_NE(p, nullptr);
  PROFILE_CONFIG_t zero{};
  zero.id = 3;
  EXPECT_EQ(memcmp(p, &zero, sizeof zero), 0);
}

TEST_F(ProfileList, MinusOneIsNeverMatched) {
  PROFILE_CONFIG_t* a = PC_List_AddNewConfig(-1);
  PROFILE_CONFIG_t* b = PC_List_AddNewConfig(-1);
  EXPECT_NE(a, b);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 2u);
  EXPECT_EQ(PC_List_FindConfigByID(-1), nullptr);
}

TEST_F(ProfileList, DeleteUnlinksOnlyListedRecords) {
  PROFILE_CONFIG_t* a = PC_List_AddNewConfig(1);
  PROFILE_CONFIG_t* b = PC_List_AddNewConfig(2);
  PC_List_AddNewConfig(3);
  PROFILE_CONFIG_t stranger{};
  PC_List_DeleteConfig(&stranger);
  PC_List_DeleteConfig(nullptr);
  EXPECT_EQ(listedIds(), (std::vector<int>{1, 2, 3}));
  PC_List_DeleteConfig(b);
  EXPECT_EQ(listedIds(), (std::vector<int>{1, 3}));
  EXPECT_EQ(PROFILE_CFG_LIST.count, 2u);
  PC_List_DeleteConfig(a);
  EXPECT_EQ(listedIds(), (std::vector<int>{3}));
  PC_List_DeleteConfig(PROFILE_CFG_LIST.head);
  EXPECT_EQ(PROFILE_CFG_LIST.head, nullptr);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 0u);
}

TEST_F(ProfileList, CleanupFreesAndResets) {
  PC_List_AddNewConfig(1);
  PC_List_AddNewConfig(2);
  PROFILE_CFG_LIST.in_use = 2;
  PC_List_DeleteAllConfigs();
  EXPECT_EQ(PROFILE_CFG_LIST.count, 0u);
  EXPECT_EQ(PROFILE_CFG_LIST.in_use, 2);
  PC_List_AddNewConfig(5);
  PC_List_Cleanup();
  EXPECT_EQ(PROFILE_CFG_LIST.head, nullptr);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 0u);
  EXPECT_EQ(PROFILE_CFG_LIST.in_use, -1);
}

TEST_F(ProfileList, CloneKeepsThePlaceInTheList) {
  PROFILE_CONFIG_t* a = PC_List_AddNewConfig(1);
  PROFILE_CONFIG_t* b = PC_List_AddNewConfig(2);
  PC_List_AddNewConfig(3);
  strcpy(b->humanReadName, "second");
  b->veskAddrs[3] = {VESK_ADDR_IPV4, {0xC0000201}};
  EXPECT_EQ(PC_List_CloneConfig(a, b), 0);
  EXPECT_STREQ(a->humanReadName, "second");
  EXPECT_EQ(a->veskAddrs[3].fa_ipaddr, 0xC0000201u);
  EXPECT_EQ(a->id, 2);
  EXPECT_EQ(PROFILE_CFG_LIST.head, a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(PC_List_CloneConfig(nullptr, b), 1);
  EXPECT_EQ(PC_List_CloneConfig(a, nullptr), 1);
}

TEST_F(ProfileList, EmptyOneFactorSearchSkipsOthers) {
  PROFILE_CONFIG_t* cert = PC_List_AddNewConfig(1);
  PROFILE_CONFIG_t* withGateway = PC_List_AddNewConfig(2);
  PROFILE_CONFIG_t* empty = PC_List_AddNewConfig(3);
  cert->type = PROFILE_TYPE_CERTIFICATE;
  withGateway->type = PROFILE_TYPE_ONE_FACTOR;
  withGateway->cfg.ch_veskipaddr = 0xCB007105;
  EXPECT_EQ(PC_List_FindEmptyOneFactorConfig(), nullptr);
  empty->type = PROFILE_TYPE_ONE_FACTOR;
  EXPECT_EQ(PC_List_FindEmptyOneFactorConfig(), empty);
}

TEST_F(ProfileList, SaveStampsAndSealsTheRecord) {
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(1);
  cfgtype c{};
  c.ch_cfgver = 0x0999;
  c.ch_flags = 1;
  c.ch_veskipaddr = 0xC0000232;
  c.ch_serveripaddr[0] = 0xC633640A;
  c.ch_serveripaddr[1] = 0xCB007105;
  ASSERT_EQ(PC_List_Save(p, &c), 0);
  EXPECT_EQ(memcmp(&p->cfg, &c, sizeof c), 0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&p->cfg);
  EXPECT_EQ(bytes[0], 0x03);
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_EQ(FCS32(&p->cfg, sizeof p->cfg), FCS32_RESIDUE);
  // The standard CRC-32 of these 124 bytes, computed independently.
  EXPECT_EQ(p->cfg.ch_fcs32, 3946526505u);
  EXPECT_EQ(PC_List_Save(nullptr, &c), 1);
  EXPECT_EQ(PC_List_Save(p, nullptr), 1);
}

TEST_F(ProfileList, AnyFlippedByteBreaksTheSeal) {
  cfgtype c{};
  c.ch_veskipaddr = 0xCB007105;
  SealCfgRecord(&c);
  auto* bytes = reinterpret_cast<uint8_t*>(&c);
  for (uint32_t i = 0; i < CFG_SEALED_BYTES; i++) {
    bytes[i] ^= 0x10;
    EXPECT_NE(FCS32(&c, sizeof c), FCS32_RESIDUE) << "byte " << i;
    EXPECT_NE(~FCS32(&c, CFG_SEALED_BYTES), c.ch_fcs32) << "byte " << i;
    bytes[i] ^= 0x10;
  }
  EXPECT_EQ(FCS32(&c, sizeof c), FCS32_RESIDUE);
}

TEST(ProfileAddressText, DecimalPartsMakeAnAddress) {
  const char* doc[4] = {"192", "0", "2", "1"};
  EXPECT_EQ(IP_STR_TO_UINT(doc), 0xC0000201u);
  const char* carry[4] = {"198", "51", "100", "300"};
  EXPECT_EQ(IP_STR_TO_UINT(carry), 0xC633652Cu);
  const char* junk[4] = {"203", "x", "113", "5"};
  EXPECT_EQ(IP_STR_TO_UINT(junk), 0xCB000005u + (113u << 8));
  const char* missing[4] = {"203", "0", nullptr, "5"};
  EXPECT_EQ(IP_STR_TO_UINT(missing), 0u);
}

TEST(ProfileAddressText, AddressMakesDottedText) {
  char text[16];
  memset(text, 'x', sizeof text);
  EXPECT_EQ(IP_UINT_TO_STR(0xCB007105, text), 11);
  EXPECT_STREQ(text, "203.0.113.5");
  EXPECT_EQ(IP_UINT_TO_STR(0xFFFFFFFF, text), 15);
  EXPECT_STREQ(text, "255.255.255.255");
  EXPECT_EQ(IP_UINT_TO_STR(0, text), 0);
  EXPECT_STREQ(text, "");
}

}  // namespace
