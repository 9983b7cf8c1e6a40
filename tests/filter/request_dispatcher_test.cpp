// The framed requests 0-47 against a loaded filter: answer word, status,
// state byte, length field and payload for each case.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "byte_order.h"
#include "crypto/crc32.h"
#include "crypto/magma.h"
#include "crypto/random.h"
#include "drv_requests.h"
#include "drv_payloads.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/local_rules.h"
#include "kernel/filter/request_dispatcher.h"
#include "kernel/filter/syn_replies.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/white_lists.h"
#include "tests/filter/daemon_records.h"
#include "tests/filter/filter_fixture.h"

namespace {

using zor::filtertest::Request;
using namespace zor::testrec;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kGateway = 0xCB007101;   // 203.0.113.1

enum Prep { kFresh, kInitialised };

void Initialise() {
  ASSERT_EQ(Request(RQC_INIT, InitRecord(kGateway)).status(), 0);
  ASSERT_EQ(Request(RQC_SETAUXINFO, AuxRecord(true)).status(), 0);
}

Bytes U32(uint32_t v) {
  Bytes b(4);
  memcpy(b.data(), &v, 4);
  return b;
}

Bytes Seed76(bool good) {
  Bytes b(76);
  for (int i = 0; i < 72; ++i) b[i] = (uint8_t)(i * 7 + 1);
  const uint32_t zero[8] = {};
  Put32(b, 72, ImPrefixMAGMA(zero, b.data(), 72) ^ (good ? 0 : 1));
  return b;
}

struct Case {
  const char *name;
  Prep prep;
  uint32_t code;
  Bytes payload;
  uint32_t room;
  int64_t length_field;   // -1: the payload's size
  int32_t answer;
  int32_t status;
  uint8_t state;
  uint32_t length;
  std::function<void(const uint8_t *)> check;   // payload, may be empty
};

std::vector<Case> Cases() {
  Bytes rec = InitRecord(kGateway);
  Bytes refused = rec;
  refused[290] = 0;   // neither clear nor enciphered data allowed
  Bytes ips(16, 0);
  Put32(ips, 0, 0xC6336401);
  Put32(ips, 4, 0xC6336401);
  Put32(ips, 8, 0xC6336402);
  Bytes gaps(16, 0);   // a zero entry inside the list
  Put32(gaps, 0, 0xC6336401);
  Put32(gaps, 8, 0xC6336402);
  Put32(gaps, 12, 0xC6336401);
  return {
      {"info", kFresh, RQC_GETINFO, {}, 88, -1, 112, 0, 0, 88,
       [](const uint8_t *p) {
         EXPECT_STREQ((const char *)p + 24, "1.0 Oct 22 2026 15:05:32");
         EXPECT_STREQ((const char *)p + 56, "1.0 Oct 22 2026 15:05:24");
         EXPECT_EQ(load_le32(p + 20), 1u);   // one bound adapter
       }},
      {"info without room", kFresh, RQC_GETINFO, {}, 87, -1, -3, 0, 0, 0, {}},
      {"info in a bare header", kFresh, RQC_GETINFO, {}, 0, -1, -3, 0, 0, 0, {}},
      {"config", kInitialised, RQC_GETCFGCON, Bytes(272), 272, 0, 296, 0, 2, 272,
       [](const uint8_t *p) {
         EXPECT_EQ(load_le32(p + 8), kGateway);
         EXPECT_EQ(load_le32(p + 264), 0xb0ca0010u);
         EXPECT_EQ(p[268], 0);
       }},
      {"config without room", kFresh, RQC_GETCFGCON, {}, 271, -1, -3, 0, 0, 0, {}},
      {"stat of entry 0", kFresh, RQC_GETSTAT, Bytes(8), 72, -1, 96, 0, 0, 72,
       [](const uint8_t *p) { EXPECT_EQ(load_le32(p + 16), 0xFFFFFFFFu); }},
      // The count comes in a 72-byte record like every kind's answer.
      {"stat count", kInitialised, RQC_GETSTAT, U32(4), 72, 8, 96, 0, 2, 72,
       [](const uint8_t *p) {
         EXPECT_EQ(load_le32(p), 2u);   // broadcast and gateway
         EXPECT_EQ(Bytes(p + 4, p + 72), Bytes(68, 0));
       }},
      {"stat count after start", kFresh, RQC_GETSTAT, [] { Bytes b(8); Put32(b, 0, 4); return b; }(), 72,
       -1, 96, 0, 0, 72, [](const uint8_t *p) { EXPECT_EQ(load_le32(p), 1u); }},   // the broadcast entry
      {"stat short", kFresh, RQC_GETSTAT, Bytes(7), 72, -1, -2, 0, 0, 0, {}},
      {"stat index 2048", kFresh, RQC_GETSTAT, [] { Bytes b(8); Put32(b, 4, 2048); return b; }(), 72, -1,
       -22, 0, 0, 0, {}},
      {"init", kFresh, RQC_INIT, rec, 692, -1, 24, 0, 2, 0, {}},
      {"init refused keeps state", kFresh, RQC_INIT, refused, 692, -1, 24, -14, 0, 0, {}},
      {"init wrong size", kFresh, RQC_INIT, Bytes(691), 692, -1, -2, 0, 0, 0, {}},
      {"test", kFresh, RQC_TEST, {}, 16, -1, -5, 0, 0, 0, {}},
      {"syn rq before init", kFresh, RQC_MAKESYNRQ, {}, 2000, -1, -14, 0, 0, 0, {}},
      {"syn ok before syn rr", kInitialised, RQC_MAKESYNOK, {}, 2000, -1, 24, -5, 2, 0, {}},
      {"keys before syn okf", kInitialised, RQC_SETKEYS, Bytes(84), 84, -1, 24, -5, 2, 0, {}},
      {"disconnect", kInitialised, RQC_DISCONNECT, Bytes(8), 8, -1, 24, 0, 0, 0, {}},
      {"disconnect short", kInitialised, RQC_DISCONNECT, Bytes(7), 8, -1, -2, 0, 2, 0, {}},
      {"update answer", kFresh, RQC_UPDGETANSW, {}, 64, -1, 24, 14, 0, 0, {}},
      {"gateway config not connected", kInitialised, RQC_GETVESKCFG, {}, 1536, -1, 24, 0, 2, 0, {}},
      {"gateway other not connected", kInitialised, RQC_GETVESKCFG_OTHER, {}, 18408, -1, -5, 0, 2, 0, {}},
      {"direct transport", kInitialised, RQC_PCONNECTING, Bytes(14), 14, -1, 24, 0, 3, 0, {}},
      {"local rules header block", kFresh, RQC_GETLOCALCFG, U32(0), 48, -1, 72, 0, 0, 48,
       [](const uint8_t *p) {
         EXPECT_EQ(load_le32(p + 4), 32u);
         EXPECT_EQ(load_le32(p + 8), 3112u);
         EXPECT_EQ(load_le32(p + 16), 0x00011000u);
       }},
      {"local rules block without room", kFresh, RQC_GETLOCALCFG, U32(0), 47, -1, -3, 0, 0, 0, {}},
      {"local rules block in a bare header", kFresh, RQC_GETLOCALCFG, {}, 0, -1, -3, 0, 0, 0, {}},
      {"local rules chunk too short", kFresh, RQC_SETLOCALCFG, Bytes(7), 8, -1, 32, 0, 0, 8,
       [](const uint8_t *p) { EXPECT_EQ((int32_t)load_le32(p + 4), -7); }},
      {"local rules image over 16 MiB", kFresh, RQC_SETLOCALCFG,
       [] { Bytes b(16, 0); Put32(b, 0, (16u << 20) + 1); return b; }(), 16, -1, 32, 0, 0, 8,
       [](const uint8_t *p) { EXPECT_EQ((int32_t)load_le32(p + 4), -5); }},
      {"local rules chunk in a bare header", kFresh, RQC_SETLOCALCFG, {}, 0, -1, -3, 0, 0, 0, {}},
      {"proxy short", kInitialised, RQC_PCONNECTING, Bytes(13), 14, -1, -4, 0, 2, 0, {}},
      {"proxy type 3", kInitialised, RQC_PCONNECTING, [] { Bytes b(14); b[4] = 3; return b; }(), 14, -1, -4, 0,
       2, 0, {}},
      {"reset state", kInitialised, RQC_RESETSTATE, {}, 0, -1, 24, 0, 0, 0, {}},
      {"reset idle", kFresh, RQC_RESETSTATE, {}, 0, -1, -5, 0, 0, 0, {}},
      {"firewall info", kFresh, RQC_GETFIREWALLINFO, {}, 16, -1, 40, 0, 0, 16, {}},
      {"firewall info without room", kFresh, RQC_GETFIREWALLINFO, {}, 15, -1, -3, 0, 0, 0, {}},
      {"filter params", kFresh, RQC_SETFILTERPARAMS, Bytes(28), 28, -1, 24, 0, 0, 0, {}},
      {"filter params short", kFresh, RQC_SETFILTERPARAMS, Bytes(27), 28, -1, -4, 0, 0, 0, {}},
      {"gateway", kFresh, RQC_SETVESKGATEWAY, U32(kGateway), 4, -1, 24, 0, 0, 0, {}},
      {"aux", kInitialised, RQC_SETAUXINFO, AuxRecord(false), 172, -1, 24, 0, 2, 0, {}},
      {"aux wrong size", kInitialised, RQC_SETAUXINFO, Bytes(171), 172, -1, -2, 0, 2, 0, {}},
      {"aux wrong variant", kInitialised, RQC_SETAUXINFO, [] { Bytes b = AuxRecord(false); b[0] = 1; return b; }(),
       172, -1, 24, -13, 2, 0, {}},
      {"aux empty string", kInitialised, RQC_SETAUXINFO, [] { Bytes b = AuxRecord(false); b[40] = 0; return b; }(),
       172, -1, 24, -12, 2, 0, {}},
      {"seed", kFresh, RQC_SEEDRANDOM, Seed76(true), 76, -1, 24, 0, 0, 0, {}},
      {"seed with bad check", kFresh, RQC_SEEDRANDOM, Seed76(false), 76, -1, -2, 0, 0, 0, {}},
      {"vesk info", kFresh, RQC_GETVESKINFO, {}, 8, -1, 32, 0, 0, 8, {}},
      {"vesk info without room", kFresh, RQC_GETVESKINFO, {}, 7, -1, -3, 0, 0, 0, {}},
      {"block 28", kFresh, RQC_GETGATEWAYBLOCK28, {}, 268, -1, 292, 0, 0, 268, {}},
      {"block 29 without room", kFresh, RQC_GETGATEWAYBLOCK29, {}, 199, -1, -3, 0, 0, 0, {}},
      {"transport key of 63 bytes", kInitialised, RQC_CREATETRANSPORTKEY, Bytes(63, 1), 64, -1, -22, -22, 2, 0, {}},
      {"transport key without a key pair", kInitialised, RQC_CREATETRANSPORTKEY, Bytes(64, 1), 64, -1, -5, -5, 2, 0, {}},
      {"transport key too long", kInitialised, RQC_CREATETRANSPORTKEY, Bytes(65, 1), 65, -1, -22, -22, 2, 0, {}},
      {"next syn number", kFresh, RQC_GETNEXTSYNPACKETNUMBER, {}, 1, -1, 25, 0, 0, 1,
       [](const uint8_t *p) { EXPECT_EQ(p[0], 1); }},
      {"next syn number without room", kFresh, RQC_GETNEXTSYNPACKETNUMBER, {}, 0, -1, -3, 0, 0, 0, {}},
      {"access level", kFresh, RQC_GETACCESSLEVEL, {}, 5, -1, 29, 0, 0, 5, {}},
      {"access level without room", kFresh, RQC_GETACCESSLEVEL, {}, 4, -1, -3, 0, 0, 0, {}},
      {"syn version", kFresh, RQC_SETSYNVERSION, U32(16), 4, -1, 24, 0, 2, 0, {}},
      {"tunnel group", kFresh, RQC_SETTUNNELGROUP, Bytes(21, 'g'), 21, -1, 24, 0, 0, 0, {}},
      {"tunnel group short", kFresh, RQC_SETTUNNELGROUP, Bytes(20, 'g'), 21, -1, -22, 0, 0, 0, {}},
      {"tunnel group long", kFresh, RQC_SETTUNNELGROUP, Bytes(22, 'g'), 22, -1, -22, 0, 0, 0, {}},
      {"tunnel group cut to room", kFresh, RQC_SETTUNNELGROUP, Bytes(21, 'g'), 21, 1000, 24, 0, 0, 0, {}},
      {"country", kFresh, RQC_GETCOUNTRY_CODE, {}, 2, -1, 26, 0, 0, 2, {}},
      {"country without room", kFresh, RQC_GETCOUNTRY_CODE, {}, 1, -1, -3, 0, 0, 0, {}},
      {"magma enabled short", kFresh, RQC_SETMAGMAENABLED, Bytes(3), 4, -1, -4, 0, 0, 0, {}},
      {"host white list", kFresh, RQC_SETHOSTWHITELIST, Bytes{4, 0, 'h', 'o', 's', 't'}, 6, -1, 24, 0, 0, 0,
       [](const uint8_t *) { EXPECT_STREQ(allowed_hosts[0], "host"); }},
      {"auth type", kFresh, RQC_SETAUTHTYPEEXT, Bytes{0x83}, 1, -1, 24, 0, 0, 0, {}},
      {"auth type of 2 bytes", kFresh, RQC_SETAUTHTYPEEXT, Bytes{1, 2}, 2, -1, -2, 0, 0, 0, {}},
      {"client socket short", kFresh, RQC_SETCLIENTSOCKET, Bytes(7), 8, -1, -9, 0, 0, 0, {}},
      {"client socket", kFresh, RQC_SETCLIENTSOCKET, Bytes(8), 8, -1, 24, 0, 0, 0, {}},
      {"dns suffix none", kFresh, RQC_GETDNS_SUFFIX, {}, 64, -1, 24, 0, 0, 0, {}},
      {"status json not connected", kInitialised, RQC_GETSTATUS_JSON, {}, 18408, -1, -5, 0, 2, 0, {}},
      // The flag is kept; the status says nothing enforces it.
      {"fail rate", kFresh, RQC_SETFAILRATE, Bytes{1}, 1, -1, 24, -5, 0, 0,
       [](const uint8_t *) { EXPECT_EQ(LCFGGetFlags() & LCFG_FLAG_FAIL_RATE, LCFG_FLAG_FAIL_RATE); }},
      {"fail rate off", kFresh, RQC_SETFAILRATE, Bytes{0}, 1, -1, 24, -5, 0, 0,
       [](const uint8_t *) { EXPECT_EQ(LCFGGetFlags() & LCFG_FLAG_FAIL_RATE, 0); }},
      {"ip white list counts addresses", kFresh, RQC_SETIPWHITELIST, ips, 16, 3, 24, 0, 0, 0,
       [](const uint8_t *) {
         EXPECT_EQ(allowed_ips[0], 0xC6336401u);
         EXPECT_EQ(allowed_ips[1], 0xC6336402u);
         EXPECT_EQ(allowed_ips[2], 0u);
       }},
      {"ip white list skips zero entries", kFresh, RQC_SETIPWHITELIST, gaps, 16, 4, 24, 0, 0, 0,
       [](const uint8_t *) {
         EXPECT_EQ(allowed_ips[0], 0xC6336401u);
         EXPECT_EQ(allowed_ips[1], 0xC6336402u);
         EXPECT_EQ(allowed_ips[2], 0u);
       }},
      {"ip white list of 257", kFresh, RQC_SETIPWHITELIST, Bytes(1028, 1), 1028, 257, 24, -4, 0, 0, {}},
      {"protocols", kFresh, RQC_SETPROTOCOLSWHITELIST, U32(6), 4, -1, 24, 0, 0, 0, {}},
      {"dns update servers", kFresh, RQC_SETDNSUPDATESERVERS, Bytes(8, 1), 8, -1, 24, 0, 0, 0, {}},
      {"dns update servers of 6 bytes", kFresh, RQC_SETDNSUPDATESERVERS, Bytes(6, 1), 8, -1, -2, 0, 0, 0, {}},
      {"stage timeout", kFresh, RQC_GETSTAGETIMEOUT, {}, 4, -1, 28, 0, 0, 4, {}},
      {"stage timeout without room", kFresh, RQC_GETSTAGETIMEOUT, {}, 3, -1, -3, 0, 0, 0, {}},
      {"code 48", kFresh, RQC_LAST_FRAMED + 1, {}, 16, -1, -5, 0, 0, 0, {}},
  };
}

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override { zor::filtertest::Load(); }
  void TearDown() override { zor::filtertest::Unload(); }
};

TEST_F(Dispatcher, EveryCaseGivesItsAnswerStatusStateAndLength) {
  for (const Case &c : Cases()) {
    SCOPED_TRACE(c.name);
    zor::filtertest::Unload();
    zor::filtertest::Load();
    if (c.prep == kInitialised) Initialise();
    auto r = Request(c.code, c.payload, c.room, c.length_field);
    EXPECT_EQ(r.answer, c.answer);
    EXPECT_EQ(r.state(), c.state);
    EXPECT_EQ(r.status(), c.status);
    EXPECT_EQ(r.length(), c.length);
    if (c.check) c.check(r.payload());
  }
}

TEST_F(Dispatcher, ClearsHeaderWordsAndSetsThemAfterBuilders) {
  Initialise();
  std::vector<uint8_t> buf(24 + 4000, 0);
  store_le16(&buf[0], DRV_REQUEST_MAGIC);
  memset(buf.data() + 3, 0xAA, 17);
  Bytes priv(32, 3);
  Bytes eph = EphemeralRecord(priv.data());
  Put32(buf, 20, (uint32_t)eph.size());
  memcpy(buf.data() + 24, eph.data(), eph.size());
  int32_t r = FilterGetInformation(6, buf.data(), (uint32_t)buf.size());
  ASSERT_GT(r, 24);
  EXPECT_EQ(buf[2], 1);
  EXPECT_EQ(buf[3], 10);
  EXPECT_EQ(load_le32(buf.data() + 4), 87u);
  EXPECT_EQ(load_le32(buf.data() + 8), 2000u);
  EXPECT_EQ(load_le32(buf.data() + 12), 0u);
  EXPECT_EQ(load_le32(buf.data() + 16), 0u);
  EXPECT_EQ(load_le32(buf.data() + 20), (uint32_t)r - 24);
}

TEST_F(Dispatcher, ServiceSeedReplacesTheGeneratorState) {
  // Slot 0 then gives what a slot seeded with the same 72 bytes gives,
  // whatever it held before; the same seed again starts the same stream.
  Bytes seed = Seed76(true);
  uint8_t reference[64], first[64], second[64];
  InitRandomEx(seed.data(), 15);
  ASSERT_EQ(GetRandomEx(reference, sizeof reference, 15), 0u);
  ASSERT_EQ(Request(RQC_SEEDRANDOM, seed).status(), 0);
  ASSERT_EQ(GetRandomEx(first, sizeof first, 0), 0u);
  ASSERT_EQ(Request(RQC_SEEDRANDOM, seed).status(), 0);
  ASSERT_EQ(GetRandomEx(second, sizeof second, 0), 0u);
  EXPECT_EQ(memcmp(first, reference, sizeof first), 0);
  EXPECT_EQ(memcmp(second, reference, sizeof second), 0);
}

TEST_F(Dispatcher, WaitingUpdateAnswerIsHandedOverOnce) {
  auto *head = reinterpret_cast<DrvUpdateAnswer *>(upd_answer);
  head->value32 = 0x11223344;
  head->value16 = 0x5566;
  head->value8 = 0x77;
  head->length = 5;
  memcpy(upd_answer + 16, "abcde", 5);
  upd_answer_waiting = 1;
  Bytes expected = {0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x77, 0, 5, 0, 0, 0, 0, 0, 0, 0,
                    'a', 'b', 'c', 'd', 'e'};

  auto tight = Request(RQC_UPDGETANSW, {}, 20, 0);
  EXPECT_EQ(tight.answer, -3) << "no room: the answer stays";
  auto r = Request(RQC_UPDGETANSW, {}, 64, 0);
  EXPECT_EQ(r.answer, 24 + 21);
  EXPECT_EQ(r.status(), 0);
  ASSERT_EQ(r.length(), 21u);
  EXPECT_EQ(Bytes(r.payload(), r.payload() + 21), expected);
  auto again = Request(RQC_UPDGETANSW, {}, 64, 0);
  EXPECT_EQ(again.answer, 24);
  EXPECT_EQ(again.status(), 14) << "handed over once";
  EXPECT_EQ(again.length(), 0u);
}

TEST_F(Dispatcher, StatusValueIsBoundedByTheRoom) {
  Initialise();
  ASSERT_EQ(Request(RQC_PCONNECTING, Bytes(14)).state(), 3);
  // A status datagram (code 24) whose 'H' value cannot come back in the room.
  Bytes d(16, 0);
  Put32(d, 0, 0xb0ca0010u);
  d[4] = 3;
  d[5] = 17;
  Put32(d, 8, 24);
  Bytes h = {0x48, 0, 40, 0};
  h.resize(44, 'h');
  d.insert(d.end(), h.begin(), h.end());
  d[6] = 44;
  d.resize(d.size() + 4);
  Put32(d, d.size() - 4, ~FCS32(d.data(), (uint32_t)d.size() - 4));
  auto full = Request(RQC_TREATPACKET, d, 18408);
  EXPECT_EQ(full.status(), 67);
  EXPECT_EQ(full.length(), 40u);
  // The same datagram in a buffer whose room ends before the value would.
  uint32_t out = 99;
  EXPECT_EQ(zor::tunnel::ClientTreatSynPacket(d.data(), (uint32_t)d.size(), 39, &out, 0), 67);
  EXPECT_EQ(out, 0u);
}

TEST_F(Dispatcher, ProbeIsBuiltWithoutChangingTheStateAndItsAnswerRecognised) {
  Initialise();
  auto probe = Request(RQC_MAKESYNRQ_CHECKAVAILABLE, {}, 4000, 0);
  ASSERT_GT(probe.answer, 24);
  EXPECT_EQ(probe.state(), 2);
  EXPECT_EQ(probe.buf[3], 10);
  EXPECT_EQ(load_le32(probe.buf.data() + 4), 87u);
  EXPECT_GT(probe_deadline, curtick);
  Bytes answer(probe.payload(), probe.payload() + probe.length());
  answer[4] = 2;   // any datagram of the protocol
  auto r = Request(RQC_TREATSYNRQ_CHECKAVAILABLE, answer, 4000);
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.state(), 2);
  answer[0] ^= 1;
  EXPECT_EQ(Request(RQC_TREATSYNRQ_CHECKAVAILABLE, answer, 4000).status(), -14);
}

TEST_F(Dispatcher, BadHeadersAreRefused) {
  std::vector<uint8_t> buf(40, 0);
  buf[0] = 0x08;
  buf[1] = 0x02;
  EXPECT_EQ(FilterGetInformation(0, buf.data(), 40), -1);
  EXPECT_EQ(buf[2], 0);
  buf[0] = 0x09;
  EXPECT_EQ(FilterGetInformation(0, buf.data(), 23), -2);
}

TEST(DispatcherStopped, RequestBeforeStartLeavesBufferUntouched) {
  std::vector<uint8_t> buf(24 + 88, 0x5C);
  store_le16(&buf[0], DRV_REQUEST_MAGIC);
  std::vector<uint8_t> copy = buf;
  EXPECT_EQ(FilterGetInformation(0, buf.data(), (uint32_t)buf.size()), -5);
  EXPECT_EQ(buf, copy);
}

}  // namespace
