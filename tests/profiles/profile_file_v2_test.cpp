// The second-version cfg.ini: reader, writer and the start-up load.
#include "cross/common/profile_file_v2.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "cross/utils/execution_dir.h"
#include "tests/profiles/profile_test_support.h"

namespace {

using ProfileFileV2 = ProfileTest;

ProfileConfig readText(const std::string& text, const std::string& path) {
  writeWholeFile(path, text);
  ProfileConfig c;
  EXPECT_EQ(JSON_Read(path, &c), 0) << text;
  return c;
}

ProfileConfig fullSet() {
  ProfileConfig set;
  set.version = 3;
  set.size = 2;
  set.in_use = 17;
  set.autoconnect_profile = 17;
  Profile a;
  a.id = 17;
  a.version = 200;
  a.humanReadName = "Шлюз \\ \"main\"\n\ttab";
  a.status = -7;
  a.veskAddrs = {{VESKAddress::IPV4, 0xC0000201, ""},
                 {VESKAddress::DNS_NAME, 0, "gw.example.test"},
                 {VESKAddress::DNS_NAME, 0xCB007105, "gw2.example.test"},
                 {9, 0, ""},
                 {VESKAddress::IPV4, 0xFFFFFFFF, ""}};
  a.usingVeskAddr = 4;
  a.type = 0;
  a.type_ext = 255;
  a.certificate.strUniqId = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
  a.cryptoAlg = 1 << 30;
  a.userNames = {"один", "two", ""};
  a.tunnelGroups = {"g1", "g2", "g3"};
  a.usingTunnelGroup = 2;
  Profile b;
  b.type = 4;
  set.profiles = {a, b};
  return set;
}

TEST_F(ProfileFileV2, GoldenFileReadsAndWritesBackByteForByte) {
  const std::string golden = DataFile("cfg_v2.ini");
  ProfileConfig c = readText(golden, cfgPath());
  EXPECT_EQ(c.version, 2);
  EXPECT_EQ(c.size, 5);
  EXPECT_EQ(c.in_use, 7);
  EXPECT_EQ(c.autoconnect_profile, 7);
  ASSERT_EQ(c.profiles.size(), 3u);
  const Profile& office = c.profiles[0];
  EXPECT_EQ(office.humanReadName, "Офис \"Север\"");
  EXPECT_EQ(office.tunnelGroups, (std::list<std::string>{"staff", "admins"}));
  EXPECT_EQ(office.usingTunnelGroup, 1);
  ASSERT_EQ(office.veskAddrs.size(), 2u);
  EXPECT_EQ(office.veskAddrs[1].fa_url, "vesk.example.test");
  EXPECT_EQ(c.profiles[1].version, 255);
  EXPECT_EQ(c.profiles[1].type_ext, 2);
  EXPECT_EQ(c.profiles[1].cryptoAlg, -5);

  std::string out = dir + "/out.ini";
  ASSERT_EQ(JSON_Write(out, c), 0);
  EXPECT_EQ(readWholeFile(out), golden);
}

TEST_F(ProfileFileV2, ReadConfigLoadsTheSharedSetAndRestoresBinaryIds) {
  const std::string golden = DataFile("cfg_v2.ini");
  writeWholeFile(cfgPath(), golden);
  ASSERT_EQ(ReadConfig(), 0);
  const ProfileConfig& set = *g_ProfileConfigPtr;
  ASSERT_EQ(set.profiles.size(), 3u);
  std::vector<unsigned char> id(32);
  for (int i = 0; i < 32; i++) id[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(set.profiles[0].certificate.binUniqId, id);
  EXPECT_TRUE(set.profiles[1].certificate.binUniqId.empty());  // not a certificate profile
  EXPECT_TRUE(set.profiles[2].certificate.binUniqId.empty());  // no identifier
  EXPECT_EQ(readWholeFile(cfgPath()), golden);
  ASSERT_EQ(JSON_Write(MakeConfigFPath(), *g_ProfileConfigPtr), 0);
  EXPECT_EQ(readWholeFile(cfgPath()), golden);
}

TEST_F(ProfileFileV2, FullSetSurvivesARoundTrip) {
  ProfileConfig set = fullSet();
  ASSERT_EQ(JSON_Write(cfgPath(), set), 0);
  ProfileConfig read;
  ASSERT_EQ(JSON_Read(cfgPath(), &read), 0);
  EXPECT_EQ(read, set);
}

TEST_F(ProfileFileV2, OnlyTheTextIdentifierOfTheCertificateIsStored) {
  ProfileConfig set;
  Profile p;
  p.id = 3;
  p.certificate = {{1, 2, 3}, "AQID", "cn", "alias", "upn", "subject"};
  set.profiles = {p};
  ASSERT_EQ(JSON_Write(cfgPath(), set), 0);
  EXPECT_NE(readWholeFile(cfgPath()).find("\"certificate\": {\n        \"strUniqId\": \"AQID\"\n      },"),
            std::string::npos);
  ASSERT_EQ(ReadConfig(), 0);
  EXPECT_EQ(g_ProfileConfigPtr->profiles[0].certificate,
            (CertificateInfo{{1, 2, 3}, "AQID", "", "", "", ""}));
}

TEST_F(ProfileFileV2, DefaultSetHasItsMembersSorted) {
  ProfileConfig set;
  ASSERT_EQ(JSON_Write(cfgPath(), set), 0);
  EXPECT_EQ(readWholeFile(cfgPath()),
            "{\n"
            "  \"autoconnect_profile\": -1,\n"
            "  \"in_use\": -1,\n"
            "  \"profiles\": [],\n"
            "  \"size\": 0,\n"
            "  \"version\": 2\n"
            "}");
}

TEST_F(ProfileFileV2, MissingMembersTakeTheDefaults) {
  EXPECT_EQ(readText("{}", cfgPath()), ProfileConfig());
  ProfileConfig c = readText(R"({"profiles": [{}], "size": 9})", cfgPath());
  EXPECT_EQ(c.size, 9);
  ASSERT_EQ(c.profiles.size(), 1u);
  EXPECT_EQ(c.profiles[0], Profile());
  EXPECT_EQ(c.profiles[0].id, -1);
  EXPECT_EQ(c.profiles[0].type_ext, 1);
  c = readText(R"({"profiles": [{"certificate": {}, "veskAddrs": [{}]}]})", cfgPath());
  EXPECT_EQ(c.profiles[0].certificate, CertificateInfo());
  EXPECT_EQ(c.profiles[0].veskAddrs, std::vector<VESKAddress>{VESKAddress()});
}

TEST_F(ProfileFileV2, TunnelGroupChoiceIsKeptInsideTheList) {
  struct Case {
    const char* members;
    int32_t expected;
  } cases[] = {
      {R"("tunnelGroups": ["a", "b"])", 0},
      {R"("tunnelGroups": [])", -1},
      {R"("tunnelGroups": ["a", "b"], "usingTunnelGroup": 1)", 1},
      {R"("tunnelGroups": ["a", "b"], "usingTunnelGroup": 2)", -1},
      {R"("tunnelGroups": ["a", "b"], "usingTunnelGroup": -5)", -1},
      {R"("tunnelGroups": ["a", "b"], "usingTunnelGroup": -1)", -1},
      {R"("tunnelGroups": ["a", "b"], "usingTunnelGroup": 2147483647)", -1},
      {R"("usingTunnelGroup": 0)", -1},
  };
  for (const Case& c : cases) {
    ProfileConfig read = readText(std::string(R"({"profiles": [{)") + c.members + "}]}", cfgPath());
    EXPECT_EQ(read.profiles[0].usingTunnelGroup, c.expected) << c.members;
  }
}

TEST_F(ProfileFileV2, FirstVersionFileReadsWithTheSharedMembers) {
  ProfileConfig c = readText(DataFile("cfg_v1.ini"), cfgPath());
  EXPECT_EQ(c.version, 1);
  EXPECT_EQ(c.size, 3);
  EXPECT_EQ(c.in_use, 12);
  EXPECT_EQ(c.autoconnect_profile, -1);
  ASSERT_EQ(c.profiles.size(), 3u);
  const Profile& office = c.profiles[0];
  EXPECT_EQ(office.id, 7);
  EXPECT_EQ(office.status, 3);
  EXPECT_EQ(office.cryptoAlg, 2);
  EXPECT_EQ(office.userNames, (std::list<std::string>{"Иванов И.И.", "ivanov"}));
  EXPECT_EQ(office.veskAddrs.size(), 2u);
  EXPECT_EQ(office.certificate, CertificateInfo());
  EXPECT_TRUE(office.tunnelGroups.empty());
  EXPECT_EQ(office.usingTunnelGroup, -1);
  EXPECT_EQ(c.profiles[2].version, 255);
}

TEST_F(ProfileFileV2, MissingFileStartsFromTheDefaults) {
  g_ProfileConfigPtr->profiles.resize(2);
  g_ProfileConfigPtr->in_use = 4;
  ASSERT_EQ(ReadConfig(), 0);
  EXPECT_EQ(*g_ProfileConfigPtr, ProfileConfig());
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{});
  EXPECT_NE(LogText().find("profile:147; ReadConfig; p" + std::to_string(getpid()) +
                           "; Config not found, starting with defaults. Profiles will be rebuilt from the "
                           "certificate store\r\n"),
            std::string::npos);
}

TEST_F(ProfileFileV2, UnreadableFileReplacesAnOlderBadFile) {
  writeWholeFile(cfgPath() + ".bad", "older");
  writeWholeFile(cfgPath(), "{ broken");
  ASSERT_EQ(ReadConfig(), 0);
  EXPECT_EQ(readWholeFile(cfgPath() + ".bad"), "{ broken");
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini.bad"});
  const std::string pid = "; p" + std::to_string(getpid()) + "; ";
  const std::string log = LogText();
  EXPECT_NE(log.find("profile:90; JSON_Read" + pid + "JSON parse error\r\n"), std::string::npos);
  EXPECT_NE(log.find("profile:147; ReadConfig" + pid + "Config is unreadable (error -2), moved to " +
                     cfgPath() + ".bad. Profiles will be rebuilt from the certificate store\r\n"),
            std::string::npos);
}

TEST_F(ProfileFileV2, PathsNameTheSettingsAndInstallationDirectories) {
  EXPECT_EQ(MakeConfigFPath(), cfgPath());
  EXPECT_EQ(MakeConfigFPathService(), std::string(installDir) + "/cfg.ini");
}

}  // namespace
