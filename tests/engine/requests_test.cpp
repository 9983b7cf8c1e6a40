// The request functions' own checks against scripted replies: payload
// sizes, what they copy and where, the handshake buffers' bounds, the
// disconnect's log and resets, and the debug dump.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <list>
#include <sstream>

#include "Service/common/dns/dns_registration_state.h"
#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/handshake_requests.h"
#include "Service/common/engine/local_rules.h"
#include "crypto/crc32.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/registry.h"
#include "cross/utils/service_hooks.h"
#include "tests/engine/engine_fixture.h"

namespace enginetest {
namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

class RequestsTest : public EngineTest {};

TEST_F(RequestsTest, DnsSuffixesAreSplitTrimmedAndOnlyDnsNames) {
  struct Case {
    std::string payload;
    int32_t result;
    std::list<std::string> names;
  } cases[] = {
      {" corp.example ;\t;lab.example\n;", 0, {"corp.example", "lab.example"}},
      {";;; ", 0, {}},
      {"a.example;-;a..b;A.Example;b.example", 0, {"a.example", "b.example"}},
      {"-;..;a..b", 0, {}},  // no name left: an empty list, as from separators alone
      {"", -2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    filter.areas[RQC_GETDNS_SUFFIX] = FramedArea(7, 0, Text(c.payload));
    std::list<std::string> got = {"stale"};
    EXPECT_EQ(getDnsSuffixes(got), c.result);
    EXPECT_EQ(got, c.names);
  }
  filter.areas[RQC_GETDNS_SUFFIX] = FramedArea(7, 0, Text("a.example"), 0x1111);
  std::list<std::string> got;
  EXPECT_EQ(getDnsSuffixes(got), -1);
}

// Every user may write the registry: the filter gets each value only inside
// its bounds, else 0 (the filter keeps its own) and a log line.
TEST_F(RequestsTest, FilterParametersFromTheRegistryStayInsideTheirBounds) {
  struct Case {
    const char* name;
    long stored;
    size_t word;  // of the 7 words of the request
    uint32_t sent;
  } cases[] = {
      {"TCPSessionFINTimeout", 120, 0, 120},   {"TCPSessionFINTimeout", 121, 0, 0},
      {"TCPSessionRSTTimeout", 60, 1, 60},     {"TCPSessionRSTTimeout", 61, 1, 0},
      {"TCPSessionSYNTimeout", 45, 2, 45},     {"TCPSessionSYNTimeout", 46, 2, 0},
      {"TCPSessionIDLETimeout", 1440, 3, 1440}, {"TCPSessionIDLETimeout", 1441, 3, 0},
      {"TCPSessionIDLETimeout", -1, 3, 0},     {"IPHDRIphTos", 255, 5, 255},
      {"IPHDRIphTos", 256, 5, 0},              {"IPHDRIphTtl", 32, 6, 32},
      {"IPHDRIphTtl", 255, 6, 255},            {"IPHDRIphTtl", 31, 6, 0},
      {"IPHDRIphTtl", 1, 6, 0},                {"IPHDRIphTtl", 0x140, 6, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = " + std::to_string(c.stored));
    Registry_RegSetValueLongIntHex(installDir, c.name, c.stored);
    FilterParams p = filterParamsOfRegistry();
    uint32_t words[7];
    std::memcpy(words, &p, sizeof words);
    EXPECT_EQ(words[c.word], c.sent);
    if (c.sent == 0) {
      EXPECT_NE(LogText().find("registry value " + std::string(c.name) + " = " + std::to_string(uint32_t(c.stored))),
                std::string::npos);
    }
    Registry_RegSetValueLongIntHex(installDir, c.name, 0);
  }
}

TEST_F(RequestsTest, GatewayConfigurationIsCutToItsRoomAndTheRecordMustFit) {
  filter.areas[RQC_GETVESKCFG] = FramedArea(7, 0, Bytes(2000, 0x5A));
  uint32_t len = 0;
  const uint8_t* cfg = getVeskCfg(&len, nullptr);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(len, 1536u);
  EXPECT_EQ(cfg[1535], 0x5A);
  filter.areas[RQC_GETVESKCFG_OTHER] = FramedArea(7, 0, Bytes(300, 1));
  veskcfgothertype other;
  EXPECT_EQ(getVeskCfg(&len, &other), nullptr);
  filter.areas[RQC_GETVESKCFG_OTHER] = FramedArea(7, 0, Bytes(324, 1));
  EXPECT_NE(getVeskCfg(&len, &other), nullptr);
}

TEST_F(RequestsTest, FixedSizeRecordsAreRefusedWhenTheSizeDiffers) {
  firewallinfotype fw{};
  filter.areas[RQC_GETFIREWALLINFO] = FramedArea(0, 0, Bytes(16, 2));
  EXPECT_EQ(GetFirewallInfo(&fw), 0);
  EXPECT_EQ(fw.sessions, 0x02020202u);
  filter.areas[RQC_GETFIREWALLINFO] = FramedArea(0, 0, Bytes(15, 2));
  EXPECT_EQ(GetFirewallInfo(&fw), 3);
  filter.areas[RQC_GETFIREWALLINFO] = FramedArea(0, 0, Bytes(16, 2), 0x0101);
  EXPECT_EQ(GetFirewallInfo(&fw), 2);
  filter.areas.erase(RQC_GETFIREWALLINFO);
  EXPECT_EQ(GetFirewallInfo(&fw), 1);

  uint32_t seconds = 77;
  filter.areas[RQC_GETSTAGETIMEOUT] = FramedArea(0, 0, {1, 2});
  EXPECT_EQ(getStageTimeout(seconds), -2);
  EXPECT_EQ(seconds, 77u);

  uint8_t level = 0;
  int flag = 0;
  filter.areas[RQC_GETACCESSLEVEL] = FramedArea(7, 0, {3, 1, 0, 0, 0});
  EXPECT_EQ(getAccessLevel(&level, &flag), 0);
  EXPECT_EQ(level, 3);
  EXPECT_EQ(flag, 1);
  filter.areas[RQC_GETACCESSLEVEL] = FramedArea(7, 0, {3, 1, 0, 0});
  EXPECT_EQ(getAccessLevel(&level, &flag), DRV_REPLY_MALFORMED);

  filter.areas[RQC_GETINFO] = FramedArea(5, 0, Bytes(87, 1));
  filterState = 2;
  EXPECT_EQ(getFilterInfo(), 0);
  EXPECT_EQ(filterState, 2u);
  EXPECT_EQ(drvInfo.adapters, 0u);
}

TEST_F(RequestsTest, EventCodeIsZeroWhenNoneOrTheChannelFails) {
  Bytes area(8, 0);
  Put32(area, 4, 9);
  filter.areas[IOCTL_GETCODE] = area;
  EXPECT_EQ(get_event_code(), 9u);
  Put32(area, 4, 0);
  filter.areas[IOCTL_GETCODE] = area;
  EXPECT_EQ(get_event_code(), 0u);
  filter.areas.erase(IOCTL_GETCODE);
  EXPECT_EQ(get_event_code(), 0u);
}

TEST_F(RequestsTest, HandshakeRepliesThatDoNotFitAreRefused) {
  // SYN request: 24 + 8169 bytes do not fit Packet, which stays as it was.
  connect_data.profileType = 1;
  Packet[0] = 0xAB;
  packetLen = 3;
  filter.areas[RQC_MAKESYNRQ] = FramedArea(3, 0, Bytes(8169, 1));
  EXPECT_EQ(getSendPacket_SYNRQ(-1), DRV_REPLY_MALFORMED);
  EXPECT_EQ(Packet[0], 0xAB);
  EXPECT_EQ(packetLen, 3u);
  filter.areas[RQC_MAKESYNRQ] = FramedArea(3, 0, Bytes(8168, 1));
  EXPECT_EQ(getSendPacket_SYNRQ(-1), 0);
  EXPECT_EQ(packetLen, 8192u);

  // A gateway datagram's answer longer than the buffer it replaces.
  Bytes big = FramedArea(4, 0, Bytes(9000, 1));
  filter.areas[RQC_TREATPACKET] = big;
  uint8_t datagram[64] = {};
  uint32_t offset = 0;
  EXPECT_EQ(treatReceivedPacket(datagram, sizeof datagram, &offset, sizeof datagram), DRV_REPLY_MALFORMED);
  EXPECT_EQ(datagram[0], 0);

  // The availability probe into a 10-byte buffer.
  filter.areas[RQC_MAKESYNRQ_CHECKAVAILABLE] = FramedArea(7, 0, Bytes(40, 1));
  uint8_t probe[10];
  uint32_t len = sizeof probe;
  uint16_t port = 0;
  EXPECT_EQ(getSendPacket_SYNRQ_checkavailable(0, &port, probe, &len), -1);
}

// Replies without payload bytes are empty answers, not faults (the
// sanitizer build caught copies and a length count from the empty payload's
// null data).
TEST_F(RequestsTest, EmptyRepliesAreEmptyAnswers) {
  filter.areas[RQC_MAKESYNRQ_CHECKAVAILABLE] = FramedArea(7, 0, {});
  uint8_t probe[10];
  uint32_t len = sizeof probe;
  uint16_t port = 1;
  EXPECT_EQ(getSendPacket_SYNRQ_checkavailable(0, &port, probe, &len), 0);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(port, 0);
  filter.areas[RQC_GETSTATUS_JSON] = FramedArea(2, 0, {});
  EXPECT_EQ(getStatusJSON(), "");
}

// The read-back's tail length comes from the filter's header block: one
// longer than an exchange can carry is refused before anything is
// allocated or asked for (a length near 4 GB made the daemon allocate it
// and wrapped the request's size).
TEST_F(RequestsTest, ARulesTailLongerThanAnExchangeIsRefused) {
  for (uint32_t tailLength : {100000u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(tailLength);
    peer.set_script([tailLength](const Request& req) -> std::optional<Bytes> {
      uint32_t offset = U32(req.data, 4 + 24);
      Bytes block(16 + (offset == 0 ? RULES_HEADER_SIZE : RULES_TABLE_SIZE), 0);
      if (offset == 0) Put32(block, 16 + 8, tailLength);
      return ReplyWith(req, FramedArea(2, 0, block));
    });
    int before = peer.requests(RQC_GETLOCALCFG);
    rulesfileheadertype header;
    addrobjtype table;
    EXPECT_EQ(getFilterRulesWithoutConnect(&header, &table), -1);
    EXPECT_EQ(peer.requests(RQC_GETLOCALCFG) - before, 2) << "only the header and table blocks";
  }
  EXPECT_EQ(LogText().find("Can't open device driver. IRP RQC_GETLOCALCFG"), std::string::npos);
}

// The read-back's tail: its texts reach SS only when the tail's seal
// checks (FCS32 over the whole tail gives the residue).
TEST_F(RequestsTest, RulesTailTextsAreTakenOnlyUnderTheirSeal) {
  const Bytes texts = {'a', 'l', 'p', 'h', 'a', 0, 'b', 'e', 't', 'a', 0};
  Bytes sealed = texts;
  sealed.resize(texts.size() + 4);
  Put32(sealed, texts.size(), ~FCS32(texts.data(), static_cast<uint32_t>(texts.size())));
  struct Case {
    const char* what;
    size_t flip;  // the tail byte flipped, or none
    std::vector<std::string> want;
  } cases[] = {
      {"sealed", SIZE_MAX, {"alpha", "beta"}},
      {"a text byte changed", 1, {}},
      {"the seal changed", texts.size() + 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes tail = sealed;
    if (c.flip != SIZE_MAX) tail[c.flip] ^= 0x01;
    peer.set_script([&tail](const Request& req) -> std::optional<Bytes> {
      uint32_t offset = U32(req.data, 4 + 24);
      Bytes content = tail;
      if (offset == 0) {
        content.assign(RULES_HEADER_SIZE, 0);
        Put32(content, 8, static_cast<uint32_t>(tail.size()));
      } else if (offset == RULES_HEADER_SIZE) {
        content.assign(RULES_TABLE_SIZE, 0);
      }
      Bytes block(16 + content.size(), 0);  // block information, then the bytes
      std::copy(content.begin(), content.end(), block.begin() + 16);
      return ReplyWith(req, FramedArea(2, 0, block));
    });
    rulesfileheadertype header;
    addrobjtype table;
    EXPECT_EQ(getFilterRulesWithoutConnect(&header, &table), 0);
    std::vector<std::string> got;
    for (SSListEntry* e = SS.head; e != nullptr; e = e->next) got.push_back(e->text);
    EXPECT_EQ(got, c.want);
  }
  initSSList(&SS, 48);
}

TEST_F(RequestsTest, TreatedDatagramTakesStateAndTheAnswer) {
  Bytes area = FramedArea(5, 0, Bytes(30, 0x42));
  Put32(area, 4 + 16, 1234);  // the data offset the filter reports
  filter.areas[RQC_TREATPACKET] = area;
  uint8_t buf[ENGINE_PACKET_SIZE] = {};
  uint32_t offset = 0;
  EXPECT_EQ(treatReceivedPacket(buf, 100, &offset), 0);
  EXPECT_EQ(filterState, 5u);
  EXPECT_EQ(offset, 1234u);
  EXPECT_EQ(buf[29], 0x42);
  filter.areas[RQC_TREATPACKET] = FramedArea(3, -16, Bytes(4, 1));
  EXPECT_EQ(treatReceivedPacket(buf, 100, &offset), -16);
}

TEST_F(RequestsTest, AnUnansweredSignatureRequestFails) {
  // No such client: nothing answers the push, whose sub-code stays in the
  // result field, and no SYN request is built.
  connect_data.profileType = 0;
  filter.areas[RQC_MAKESYNRQ] = FramedArea(3, 0, Bytes(10, 1));
  EXPECT_EQ(getSendPacket_SYNRQ(12345), static_cast<int32_t>(SIGN_SYN_SUBCODE));
  EXPECT_NE(LogText().find("Error answer from client: 79"), std::string::npos);
  EXPECT_EQ(peer.requests(RQC_MAKESYNRQ), 0);
}

TEST_F(RequestsTest, KeysAreOverwrittenAfterTheRequest) {
  filter.areas[RQC_SETKEYS] = FramedArea(7, 0, {});
  std::memset(tbuff, 0x33, 64);
  hostlocalipaddress = 0xCB007102;
  FillConnectKeys(40000);
  EXPECT_EQ(setconnectkeys.localPort, 40000);
  EXPECT_EQ(setconnectkeys.keyBlock[63], 0x33);
  SetConnectKeys copy = setconnectkeys;
  EXPECT_EQ(setKeys(&setconnectkeys), 0);
  EXPECT_EQ(filterState, 7u);
  EXPECT_NE(std::memcmp(&copy, &setconnectkeys, sizeof copy), 0);
}

TEST_F(RequestsTest, InitRecordCarriesTheSealedConfigAndCredentialsOnlyInPairs) {
  connect_data.gatewayIp = 0xCB007101;
  std::strcpy(radius_login, "user");
  FilterInitRecord rec;
  BuildFilterInitRecord(rec);
  EXPECT_EQ(rec.cfg.ch_veskipaddr, 0xCB007101u);
  EXPECT_EQ(FCS32(&rec.cfg, 128), 0xDEBB20E3u);
  EXPECT_EQ(rec.protocolMagic, FILTER_INIT_MAGIC);
  EXPECT_EQ(rec.radiusLogin[0], 0) << "a login without a password is not sent";
  EXPECT_STREQ(radius_login, "user");
  EXPECT_STREQ(radius_login_json, "user");
  std::strcpy(radius_password, "secret");
  BuildFilterInitRecord(rec);
  EXPECT_STREQ(rec.radiusLogin, "user");
  EXPECT_STREQ(rec.radiusPassword, "secret");
  EXPECT_EQ(radius_login[0], 0);
  EXPECT_EQ(radius_password[0], 0);
}

TEST_F(RequestsTest, DisconnectLogNamesReasonAndCaller) {
  filterState = 3;
  char text[512];
  DisconnectLogText(text, sizeof text, nullptr, 0, nullptr, 10);
  EXPECT_STREQ(text, "Disconnect activate with state: 3, reason: internal, disconnect reason: <empty>");
  DisconnectLogText(text, sizeof text, "Gone", 1, "C:\\src/dir\\engine.cpp", -7);
  EXPECT_STREQ(text,
               "Disconnect activate with state: 3, reason: FROM USER, disconnect reason: Gone, "
               "called from engine.cpp:-7");
  DisconnectLogText(text, sizeof text, "", 2, "", 1);
  EXPECT_STREQ(text, "Disconnect activate with state: 3, reason: internal, disconnect reason: <empty>");
}

TEST_F(RequestsTest, DisconnectResetsOwnerAndStatusEvenWithoutTheFilter) {
  Registry_RegSetValueLongIntHex(installDir, "ConnStatus", 1);
  old_status = 1;
  g_TunnelOwnerClientN = 4;
  filterState = filterStatePrev = 7;
  EXPECT_EQ(DisconnectNative("test", 0, __FILE__, __LINE__), DRV_CHANNEL_FAILED);
  EXPECT_EQ(g_TunnelOwnerClientN.load(), -1);
  int status = -1;
  EXPECT_TRUE(Registry_RegGetValueInt(installDir, "ConnStatus", &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(filterStatePrev, 7u);

  Request seen;
  peer.set_script([&](const Request& req) {
    seen = req;
    return ReplyWith(req, FramedArea(0, 0, {}));
  });
  EXPECT_EQ(DisconnectNative("user", 1, nullptr, 0), 0);
  EXPECT_EQ(seen.code, static_cast<uint32_t>(RQC_DISCONNECT));
  EXPECT_EQ(U32(seen.data, 4 + 24 + 4), 1u);  // the from-user word
  EXPECT_EQ(filterState, 0u);
  EXPECT_EQ(filterStatePrev, 0u);
  EXPECT_NE(LogText().find("!!! Disconnect from GUI !!!"), std::string::npos);
}

TEST_F(RequestsTest, EngineDisconnectServesTheIpcServer) {
  Engine_InstallDisconnectHandler();
  filter.areas[RQC_DISCONNECT] = FramedArea(0, 0, {});
  EXPECT_EQ(disConnect("Tunnel owner IPC connection lost", 0, __FILE__, __LINE__), 0);
  EXPECT_EQ(peer.requests(RQC_DISCONNECT), 1);
  IPC_SetServiceHandlers(IPC_StandingServiceHandlers());
}

TEST_F(RequestsTest, DnsRegistrationReachesTheFilterThroughTheEngine) {
  Engine_InstallDnsRegistratorHooks();
  DnsRegistratorHooks h = DnsRegistratorCurrentHooks();
  filter.areas[RQC_GETVESKCFG] = FramedArea(7, 0, Bytes(24, 9));
  uint32_t len = 0;
  const uint8_t* cfg = h.getVeskCfg(&len, nullptr);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(len, 24u);
  EXPECT_EQ(cfg[23], 9);
  filter.areas[RQC_SETDNSUPDATESERVERS] = FramedArea(7, 0, {});
  EXPECT_EQ(h.SetDnsUpdateServers({0xC633640A, 0xC633640B}), 0);
  EXPECT_EQ(peer.requests(RQC_SETDNSUPDATESERVERS), 1);
}

TEST_F(RequestsTest, DebugDumpLengthIsCappedAndTheTextWritten) {
  Bytes len(8, 0);
  Put32(len, 4, 0xFFFFFFF0u);  // a length no buffer should be made for
  filter.areas[IOCTL_GETDDATALEN] = len;
  filter.areas[IOCTL_GETDDATA] = Text(std::string("adapter tap0 bound") + '\0');
  getDebugInfo();
  std::ifstream in(std::string(installDir) + "/debug.bin");
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "adapter tap0 bound");
}

}  // namespace
}  // namespace enginetest
