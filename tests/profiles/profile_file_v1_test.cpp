// The profile list to and from the first-version cfg.ini and its text form.
#include "cross/common/profile_file_v1.h"

#include <gtest/gtest.h>

#include <cstring>

#include "cross/common/lngs.h"
#include "cross/common/profile_doc_v1.h"
#include "cross/common/profile_list.h"
#include "crypto/crc32.h"
#include "tests/profiles/profile_test_support.h"

namespace {

using ProfileFileV1 = ProfileTest;

// The list as its text form, for comparing whole lists.
std::string listText(int schema = 0) {
  char buf[65536];
  unsigned len = sizeof buf;
  EXPECT_EQ(PC_List_SaveCfg(1, buf, &len, schema), 0);
  return std::string(buf, len);
}

int readText(const std::string& text) {
  std::string copy = text;
  return PC_List_ReadCfg(copy.data(), static_cast<int>(copy.size()));
}

// A document of one profile object given as JSON text.
std::string oneProfile(const std::string& profile) {
  return R"({"size": 1, "profiles": [)" + profile + "]}";
}

template <size_t N>
void fill(char (&field)[N], const std::string& text) {
  ASSERT_LE(text.size(), N);
  memcpy(field, text.data(), text.size());
}

// A certificate record with every field used, texts filling their fields.
void fillCertificateRecord(PROFILE_CONFIG_t* p) {
  p->version = 9;
  fill(p->humanReadName, "\"quoted\" \\ tab\t" + std::string(49, '-'));
  for (int i = 0; i < 32; i++) p->uniqId[i] = static_cast<uint8_t>(0xF0 - i);
  p->status = 0x80000001u;
  p->type = PROFILE_TYPE_CERTIFICATE;
  cfgtype c{};
  c.ch_flags = 1;
  c.ch_features = 2;
  c.ch_veskipaddr = 0xC0000232;
  for (int i = 0; i < CFG_SERVER_ADDRS; i++) c.ch_serveripaddr[i] = 0xC6336400u + static_cast<uint32_t>(i);
  PC_List_Save(p, &c);
  p->veskAddrs[0].type = VESK_ADDR_URL;
  fill(p->veskAddrs[0].fa_url, std::string(200, 'g') + ".example.test" + std::string(43, 'h'));
  p->veskAddrs[1] = {VESK_ADDR_IPV4, {0xCB007105}};
  p->veskAddrs[2] = {VESK_ADDR_IPV4, {0xC0000201}};
  p->veskAddrs[3].type = 7;
  p->usingVeskAddr = 2;
  std::string cn;
  for (int i = 0; i < 32; i++) cn += "\xD0\x96";  // fills a user-name slot
  fill(p->certCN, cn);
  fill(p->alias, std::string(256, 'a'));
  fill(p->upn, std::string(64, 'u'));
  fill(p->certSubjInfo, std::string(512, 's'));
  p->cryptoAlg = 0xFFFFFFFFu;
  for (int i = 0; i < PROFILE_USERNAMES; i++) {
    fill(p->userNames[i], std::string(64, static_cast<char>('A' + i)));
  }
  memcpy(p->userNames[3], p->certCN, 64);  // the common name is among the user names
  fill(p->tunnelGroup, std::string(21, 't'));
}

TEST_F(ProfileFileV1, EmptyListMakesTheBareDocument) {
  PC_List_Init();
  ASSERT_EQ(PC_List_SaveCfg(0, nullptr, nullptr, 0), 0);
  EXPECT_EQ(readWholeFile(cfgPath()),
            "{\n"
            "  \"current_schema\": 0,\n"
            "  \"in_use\": -1,\n"
            "  \"profiles\": [],\n"
            "  \"size\": 0,\n"
            "  \"version\": 1\n"
            "}");
}

TEST_F(ProfileFileV1, GoldenFileReadsAndWritesBackByteForByte) {
  const std::string golden = DataFile("cfg_v1.ini");
  writeWholeFile(cfgPath(), golden);
  ASSERT_EQ(PC_List_ReadCfg(nullptr, 0), 0);
  ASSERT_EQ(PROFILE_CFG_LIST.count, 3u);
  EXPECT_EQ(PROFILE_CFG_LIST.in_use, 12);

  const PROFILE_CONFIG_t* office = PC_List_FindConfigByID(7);
  ASSERT_NE(office, nullptr);
  EXPECT_STREQ(office->humanReadName, "Офис \"Север\"");
  EXPECT_EQ(FCS32(&office->cfg, sizeof office->cfg), FCS32_RESIDUE);
  EXPECT_EQ(office->cfg.ch_veskipaddr, 0xC0000232u);
  EXPECT_EQ(office->cfg.ch_serveripaddr[1], 0xCB007105u);
  for (int i = 0; i < 32; i++) EXPECT_EQ(office->uniqId[i], i);
  EXPECT_EQ(office->veskAddrs[1].type, VESK_ADDR_URL);
  EXPECT_STREQ(office->veskAddrs[1].fa_url, "vesk.example.test");
  EXPECT_STREQ(office->userNames[0], "Иванов И.И.");
  EXPECT_STREQ(office->userNames[1], "ivanov");
  EXPECT_EQ(office->userNames[2][0], '\0');
  const PROFILE_CONFIG_t* home = PC_List_FindConfigByID(12);
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(home->usingVeskAddr, 0xFFFFFFFFu);
  EXPECT_STREQ(home->certCN, "RI-Ruzudur");
  const PROFILE_CONFIG_t* other = PROFILE_CFG_LIST.head->next->next;
  EXPECT_EQ(other->version, 255);
  EXPECT_EQ(other->veskAddrs[0].type, 3u);
  EXPECT_EQ(std::string(other->tunnelGroup, 21), "group-twenty-one-char");

  std::remove(cfgPath().c_str());
  ASSERT_EQ(PC_List_SaveCfg(0, nullptr, nullptr, 2), 0);
  EXPECT_EQ(readWholeFile(cfgPath()), golden);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
}

TEST_F(ProfileFileV1, GoldenTextReadsAndWritesBack) {
  const std::string golden = DataFile("cfg_v1.ini");
  ASSERT_EQ(readText(golden), 0);
  char buf[16384];
  unsigned len = sizeof buf;
  ASSERT_EQ(PC_List_SaveCfg(1, buf, &len, 2), 0);
  EXPECT_EQ(std::string(buf, len), golden);
}

TEST_F(ProfileFileV1, ServiceVariantWritesIntoTheInstallationDirectory) {
  PC_List_AddNewConfig(3);
  std::string path = MakeCfgFilePathForService();
  ASSERT_EQ(PC_List_SaveCfgForService(0, nullptr, nullptr, 5), 0);
  EXPECT_EQ(readWholeFile(path), listText(5));
  EXPECT_FALSE(FileExists(cfgPath()));
  std::remove(path.c_str());
}

TEST_F(ProfileFileV1, FullRecordsSurviveARoundTrip) {
  PROFILE_CONFIG_t* cert = PC_List_AddNewConfig(41);
  fillCertificateRecord(cert);
  PROFILE_CONFIG_t* plain = PC_List_AddNewConfig(-1);
  plain->type = 6;
  plain->veskAddrs[1] = {VESK_ADDR_IPV4, {0xC633640A}};
  fill(plain->upn, "x@example.test");
  PROFILE_CFG_LIST.in_use = 41;
  PROFILE_CONFIG_t saved[2] = {*cert, *plain};
  ASSERT_EQ(PC_List_SaveCfg(0, nullptr, nullptr, 0), 0);

  PC_List_Cleanup();
  ASSERT_EQ(PC_List_ReadCfg(nullptr, 0), 0);
  ASSERT_EQ(PROFILE_CFG_LIST.count, 2u);
  EXPECT_EQ(PROFILE_CFG_LIST.in_use, 41);
  const PROFILE_CONFIG_t* read[2] = {PROFILE_CFG_LIST.head, PROFILE_CFG_LIST.head->next};
  // Empty slots close up: the address in slot 1 comes back in slot 0.
  saved[1].veskAddrs[0] = saved[1].veskAddrs[1];
  saved[1].veskAddrs[1] = {};
  for (int i = 0; i < 2; i++) {
    saved[i].next = read[i]->next;
    EXPECT_EQ(memcmp(&saved[i], read[i], sizeof saved[i]), 0) << "record " << i;
  }
}

TEST_F(ProfileFileV1, SingleFactorProfilesNameTheirCertificateFromTheStringTable) {
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(5);
  p->type = PROFILE_TYPE_ONE_FACTOR;
  memset(p->uniqId, 0xAB, sizeof p->uniqId);
  fill(p->alias, "hidden");
  fill(p->certSubjInfo, "hidden");
  fill(p->upn, "kept@example.test");
  LNGS_SetLanguage(LNGS_ENGLISH);
  std::string text = listText();
  EXPECT_NE(text.find(R"("certCN": "VO-Zoruzir")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("uniqId": "")"), std::string::npos);
  EXPECT_NE(text.find(R"("alias": "")"), std::string::npos);
  EXPECT_NE(text.find(R"("certSubjInfo": "")"), std::string::npos);
  EXPECT_NE(text.find(R"("upn": "kept@example.test")"), std::string::npos);
  ASSERT_EQ(readText(text), 0);
  EXPECT_STREQ(PROFILE_CFG_LIST.head->certCN, "VO-Zoruzir");
  EXPECT_EQ(PROFILE_CFG_LIST.head->uniqId[0], 0);
}

TEST_F(ProfileFileV1, TextModeChecksTheRoom) {
  PC_List_AddNewConfig(1);
  const std::string text = listText();
  std::vector<char> buf(text.size() + 8, 'x');
  unsigned len = static_cast<unsigned>(text.size());
  EXPECT_EQ(PC_List_SaveCfg(1, buf.data(), &len, 0), -4);
  EXPECT_EQ(len, text.size());
  EXPECT_EQ(buf[0], 'x');
  len = static_cast<unsigned>(text.size() + 4);
  ASSERT_EQ(PC_List_SaveCfg(1, buf.data(), &len, 0), 0);
  EXPECT_EQ(len, text.size());
  EXPECT_EQ(std::string(buf.data(), text.size()), text);
  EXPECT_EQ(std::string(buf.data() + text.size(), 4), std::string(4, '\0'));
  EXPECT_EQ(buf[text.size() + 4], 'x');
  len = 0;
  EXPECT_EQ(PC_List_SaveCfg(1, buf.data(), &len, 0), -4);
  EXPECT_EQ(PC_List_SaveCfg(1, nullptr, &len, 0), -3);
  EXPECT_EQ(PC_List_SaveCfg(1, buf.data(), nullptr, 0), -3);
  EXPECT_EQ(PC_List_SaveCfg(2, buf.data(), &len, 0), -5);
  EXPECT_EQ(PC_List_SaveCfg(-1, nullptr, nullptr, 0), -5);
  EXPECT_FALSE(FileExists(cfgPath()));
}

TEST_F(ProfileFileV1, SizeThatDiffersFromTheProfilesStillRebuilds) {
  ASSERT_EQ(readText(R"({"size": 3, "in_use": 2, "profiles": [{"id": 1}, {"id": 2}]})"), -2);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 2u);
  EXPECT_EQ(PROFILE_CFG_LIST.in_use, 2);
}

TEST_F(ProfileFileV1, EmptyTextReadsTheFile) {
  writeWholeFile(cfgPath(), oneProfile(R"({"id": 8})"));
  char text[] = R"({"profiles": [{"id": 1}, {"id": 2}]})";
  ASSERT_EQ(PC_List_ReadCfg(text, 0), 0);
  ASSERT_EQ(PROFILE_CFG_LIST.count, 1u);
  EXPECT_EQ(PROFILE_CFG_LIST.head->id, 8);
  PC_List_Cleanup();
  ASSERT_EQ(PC_List_ReadCfg(nullptr, 0), 0);
  EXPECT_EQ(PROFILE_CFG_LIST.head->id, 8);
}

TEST_F(ProfileFileV1, ReadingFillsAtMostTheSlots) {
  json addrs = json::array(), names = json::array();
  for (uint32_t i = 0; i < 6; i++) addrs.push_back({{"type", 1}, {"fa_ipaddr", 0xC0000201u + i}});
  for (int i = 0; i < 10; i++) names.push_back("user" + std::to_string(i));
  json cfg = CfgJson();
  cfg["ch_veskipaddr"] = {3405803781u, 1, 2, 3, 4};
  cfg["ch_fcs32"] = 1;
  json profile = {{"id", 1},    {"type", 1},          {"version", 300},
                  {"cfg", cfg}, {"veskAddrs", addrs}, {"userNames", names}};
  ASSERT_EQ(readText(oneProfile(profile.dump())), 0);
  const PROFILE_CONFIG_t* p = PROFILE_CFG_LIST.head;
  for (int i = 0; i < 4; i++) EXPECT_EQ(p->veskAddrs[i].fa_ipaddr, 0xC0000201u + i);
  for (int i = 0; i < 8; i++) EXPECT_EQ(std::string(p->userNames[i]), "user" + std::to_string(i));
  EXPECT_EQ(p->version, 44);
  EXPECT_EQ(p->cfg.ch_veskipaddr, 0xCB007105u);
  EXPECT_EQ(p->cfg.ch_fcs32, 1u);
}

TEST_F(ProfileFileV1, MissingConfigurationIsAllZero) {
  ASSERT_EQ(readText(oneProfile(R"({"id": 1})")), 0);
  cfgtype zero{};
  EXPECT_EQ(memcmp(&PROFILE_CFG_LIST.head->cfg, &zero, sizeof zero), 0);
}

TEST_F(ProfileFileV1, CertificateNameLeadsTheUserNames) {
  struct Case {
    const char* profile;
    std::vector<std::string> names;
  } cases[] = {
      {R"({"type": 0, "certificate": {"certCN": "X"}, "userNames": ["a", "b"]})", {"X", "a", "b"}},
      {R"({"type": 0, "certificate": {"certCN": "X"}, "userNames": ["a", "X"]})", {"a", "X"}},
      {R"({"type": 1, "certificate": {"certCN": "X"}, "userNames": ["a"]})", {"a"}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(readText(oneProfile(c.profile)), 0) << c.profile;
    std::vector<std::string> names;
    for (const auto& slot : PROFILE_CFG_LIST.head->userNames) {
      if (slot[0] != '\0') names.push_back(slot);
    }
    EXPECT_EQ(names, c.names) << c.profile;
  }
}

template <size_t N>
std::string stored(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string repeat(const std::string& piece, int n) {
  std::string text;
  for (int i = 0; i < n; i++) text += piece;
  return text;
}

// Texts longer than their fields are cut to the field, never inside a
// UTF-8 character.
TEST_F(ProfileFileV1, OversizedTextsAreCutAtCharacterBoundaries) {
  const std::string zhe = "\xD0\x96", euro = "\xE2\x82\xAC", key = "\xF0\x9F\x94\x91";
  using Field = std::string (*)(const PROFILE_CONFIG_t&);
  struct Case {
    json profile;
    Field field;
    std::string expected;
  } cases[] = {
      {{{"humanReadName", repeat("n", 70)}},
       [](auto& p) { return stored(p.humanReadName); },
       repeat("n", 64)},
      {{{"humanReadName", repeat("n", 63) + zhe}},
       [](auto& p) { return stored(p.humanReadName); },
       repeat("n", 63)},
      {{{"humanReadName", repeat(zhe, 40)}},
       [](auto& p) { return stored(p.humanReadName); },
       repeat(zhe, 32)},
      {{{"humanReadName", repeat("n", 62) + euro}},
       [](auto& p) { return stored(p.humanReadName); },
       repeat("n", 62)},
      {{{"humanReadName", repeat("n", 61) + euro}},
       [](auto& p) { return stored(p.humanReadName); },
       repeat("n", 61) + euro},
      {{{"tunnelGroup", repeat("t", 30)}}, [](auto& p) { return stored(p.tunnelGroup); }, repeat("t", 21)},
      {{{"tunnelGroup", repeat("t", 19) + key}},
       [](auto& p) { return stored(p.tunnelGroup); },
       repeat("t", 19)},
      {{{"userNames", {"b" + repeat(zhe, 40)}}},
       [](auto& p) { return stored(p.userNames[0]); },
       "b" + repeat(zhe, 31)},
      {{{"certificate", {{"upn", "a" + repeat(zhe, 40)}}}},
       [](auto& p) { return stored(p.upn); },
       "a" + repeat(zhe, 31)},
      {{{"certificate", {{"certCN", "c" + repeat(zhe, 200)}}}},
       [](auto& p) { return stored(p.certCN); },
       "c" + repeat(zhe, 127)},
      {{{"certificate", {{"alias", repeat(euro, 100)}}}},
       [](auto& p) { return stored(p.alias); },
       repeat(euro, 85)},
      {{{"certificate", {{"certSubjInfo", repeat(key, 200)}}}},
       [](auto& p) { return stored(p.certSubjInfo); },
       repeat(key, 128)},
      {{{"veskAddrs", {{{"type", 2}, {"fa_url", "u" + repeat(zhe, 200)}}}}},
       [](auto& p) { return stored(p.veskAddrs[0].fa_url); },
       "u" + repeat(zhe, 127)},
  };
  for (const Case& c : cases) {
    json doc = {{"size", 1}, {"profiles", {c.profile}}};
    ASSERT_EQ(readText(doc.dump()), 0) << c.profile;
    EXPECT_EQ(c.field(*PROFILE_CFG_LIST.head), c.expected) << c.profile;
    EXPECT_NO_THROW(listText()) << c.profile;  // the list still saves as valid UTF-8
  }
}

// One record per id: a document naming an id twice would merge two
// profiles into one record, so it is refused and the list kept.
TEST_F(ProfileFileV1, DuplicateIdsAreRefused) {
  PC_List_AddNewConfig(30);
  const std::string before = listText();
  const std::string doc = R"({"size": 2, "profiles": [{"id": 4, "humanReadName": "first"},
                                                       {"id": 4, "humanReadName": "second"}]})";
  EXPECT_EQ(readText(doc), -3);
  EXPECT_EQ(listText(), before);
  writeWholeFile(cfgPath(), doc);
  EXPECT_EQ(PC_List_ReadCfg(nullptr, 0), -3);
  EXPECT_EQ(listText(), before);
  EXPECT_EQ(readText(R"({"size": 2, "profiles": [{"id": -1}, {"id": -1}]})"), 0);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 2u);
}

}  // namespace
