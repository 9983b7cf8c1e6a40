// One sequence of guard operations on an installed block, each step checked
// against the block's bytes written out by hand: header fields, records with
// their padding, ids, times, kinds, the change counter, flags and digest.
#include <functional>

#include "tests/fsguard/guard_fixture.h"

namespace {

using namespace zor::fsguard;

// RFC 6986's first example message, 63 bytes, used as the password.
const std::string kPassword = "012345678901234567890123456789012345678901234567890123456789012";
// Its Streebog-256 digest in the byte order that the block stores.
const std::string kPasswordDigest =
    "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500";
const std::string kNoDigest(64, '0');
const std::string kZero18(36, '0');

std::string repeat(const std::string &s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

// The header: reserved (a5 x4), total size, reserved (a5 x2), flags, digest,
// record count, change counter, time of last change, reserved (a5 x40).
std::string header(const char *total, const char *flags, const std::string &digest,
                   const char *count, const char *counter, const char *lastChange) {
  return std::string("a5a5a5a5") + total + "a5a5" + flags + digest + count + counter +
         lastChange + repeat("a5", 40);
}

// Records: length, name length, id, inserted, kind, 18 zero bytes, the name
// padded with zeros to P = (n + 5) & ~3.
const std::string kRecSlashA = "2400 0200 01000000 0701215a 0100" + kZero18 + "2f61 0000";
const std::string kRecAbc = "2800 0300 02000000 0801215a 0100" + kZero18 + "616263 00 00000000";
const std::string kRecTmpXy =
    "2c00 0700 03000000 0901215a 0100" + kZero18 + "2f746d702f7879 00 00000000";
const std::string kRecSlashQ = "2400 0200 05000000 0c01215a 0100" + kZero18 + "2f71 0000";
const std::string kRecZz = "2400 0200 09000000 0e01215a 0100" + kZero18 + "7a7a 0000";

struct Outcome {
  uint32_t result;
  std::vector<uint8_t> buffer;  // empty unless the step is a control request
};

struct Step {
  const char *what;
  uint32_t now;
  std::function<Outcome()> run;
  uint32_t result;
  int64_t length;      // answer length; -1 for a direct call
  std::string answer;  // buffer bytes from offset 8 (hex), when checked
  int saves;           // save requests that the step queues
  std::string block;   // the whole block afterwards (hex)
};

class BlockSequence : public GuardFixture {
 protected:
  std::function<Outcome()> request(uint32_t code, uint32_t argument,
                                   const std::vector<uint8_t> &data = {}, size_t room = 0) {
    return [=, this] {
      IoctlAnswer a = ioctl(request_bytes(code, argument, data, room));
      return Outcome{a.result, a.buffer};
    };
  }
  std::function<Outcome()> call(std::function<uint32_t()> op) {
    return [op] { return Outcome{op(), {}}; };
  }
};

TEST_F(BlockSequence, EachStepLeavesTheBlockBytesOfTheFileFormat) {
  const std::vector<uint8_t> pw = text_bytes(kPassword);
  const std::string hdrPassword = header("60000000", "0180", kPasswordDigest, "00000000",
                                         "00000000", "00000000");
  const std::string hdrThree = header("d8000000", "0180", kPasswordDigest, "03000000",
                                      "03000000", "0901215a");
  const std::string blockThree = hdrThree + kRecSlashA + kRecAbc + kRecTmpXy;
  const std::string blockRenamed =
      header("84000000", "0180", kPasswordDigest, "01000000", "09000000", "0e01215a") + kRecZz;
  const std::string blockEnabled =
      header("84000000", "0380", kPasswordDigest, "01000000", "09000000", "0e01215a") + kRecZz;
  const std::vector<uint8_t> oldName = text_bytes("/tmp/xy"), newName = text_bytes("zz");

  const Step steps[] = {
      {"set the password", 0x5A210101, request(FSG_SETPASSWORD, 63, pw), 0, 8, "", 1,
       hdrPassword},
      {"log out", 0x5A210102, request(FSG_LOGOUT, 0), 0, 8, "", 0, hdrPassword},
      {"add refused while logged out", 0x5A210103,
       request(FSG_ADDFILE, 2, text_bytes("/a")), 3, 14, "02000000 2f61", 0, hdrPassword},
      {"log in with a wrong password", 0x5A210104, request(FSG_LOGIN, 4, text_bytes("0123")),
       4, 8, "", 0, hdrPassword},
      {"add still refused", 0x5A210105, request(FSG_ADDFILE, 2, text_bytes("/a")), 3, 14, "",
       0, hdrPassword},
      {"log in with the password", 0x5A210106, request(FSG_LOGIN, 63, pw), 0, 8, "", 0,
       hdrPassword},
      {"add /a", 0x5A210107, request(FSG_ADDFILE, 2, text_bytes("/a")), 0, 8, "", 1,
       header("84000000", "0180", kPasswordDigest, "01000000", "01000000", "0701215a") +
           kRecSlashA},
      {"add abc", 0x5A210108, request(FSG_ADDFILE, 3, text_bytes("abc")), 0, 8, "", 1,
       header("ac000000", "0180", kPasswordDigest, "02000000", "02000000", "0801215a") +
           kRecSlashA + kRecAbc},
      {"add /tmp/xy", 0x5A210109, request(FSG_ADDFILE, 7, text_bytes("/tmp/xy")), 0, 8, "",
       1, blockThree},
      {"add abc again changes nothing", 0x5A21010A,
       request(FSG_ADDFILE, 3, text_bytes("abc")), 0, 8, "", 0, blockThree},
      {"remove the first of three", 0x5A21010B, request(FSG_DELETEFILE, 2, text_bytes("/a")),
       0, 8, "", 1,
       header("b4000000", "0180", kPasswordDigest, "02000000", "04000000", "0b01215a") +
           kRecAbc + kRecTmpXy},
      {"add /q", 0x5A21010C, request(FSG_ADDFILE, 2, text_bytes("/q")), 0, 8, "", 1,
       header("d8000000", "0180", kPasswordDigest, "03000000", "05000000", "0c01215a") +
           kRecAbc + kRecTmpXy + kRecSlashQ},
      {"prune: only /tmp/xy exists", 0x5A21010D,
       call([this] {
         fake_files::existing() = {"/tmp/xy"};
         return delete_missing_files(g);
       }),
       0, -1, "", 1,
       header("8c000000", "0180", kPasswordDigest, "01000000", "07000000", "0d01215a") +
           kRecTmpXy},
      {"rename /tmp/xy to zz", 0x5A21010E,
       call([&, this] {
         return zor::fsguard::rename_file(g, oldName.data(), 7, newName.data(), 2);
       }),
       0, -1, "", 1, blockRenamed},
      {"enable the guard", 0x5A21010F, request(FSG_SETENABLED, 1), 0, 12, "01000000", 1,
       blockEnabled},
      {"read the record one byte short", 0x5A210110, request(FSG_GETFILERECORD, 0, {}, 31), 1,
       8, repeat("00", 35), 0, blockEnabled},
      {"read the record", 0x5A210111, request(FSG_GETFILERECORD, 0, {}, 32), 0, 44, kRecZz, 0,
       blockEnabled},
      {"count the records", 0x5A210112, request(FSG_GETFILECOUNT, 0), 0, 12, "01000000", 0,
       blockEnabled},
      {"read the change counter", 0x5A210113, request(FSG_GETCHANGECOUNTER, 0), 0, 12,
       "09000000", 0, blockEnabled},
      {"clear the password", 0x5A210114, request(FSG_SETPASSWORD, 0), 0, 8, "", 1,
       header("84000000", "0280", kNoDigest, "01000000", "09000000", "0e01215a") + kRecZz},
      {"logged in without a password", 0x5A210115, request(FSG_ISLOGGED, 0), 0, 12,
       "01000000", 0,
       header("84000000", "0280", kNoDigest, "01000000", "09000000", "0e01215a") + kRecZz},
  };

  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    testhost::state().dos_now = step.now;
    int savesBefore = fake_files::saves();
    Outcome out = step.run();
    EXPECT_EQ(out.result, step.result);
    if (step.length >= 0) {
      IoctlAnswer a{out.result, out.buffer};
      EXPECT_EQ(a.length(), static_cast<uint32_t>(step.length));
      EXPECT_EQ(a.code(), step.result);
    }
    if (!step.answer.empty()) {
      std::vector<uint8_t> expected = hex_bytes(step.answer);
      ASSERT_GE(out.buffer.size(), 8 + expected.size());
      EXPECT_EQ(to_hex(out.buffer.data() + 8, expected.size()), to_hex(expected));
    }
    EXPECT_EQ(fake_files::saves() - savesBefore, step.saves);
    EXPECT_EQ(block_hex(), to_hex(hex_bytes(step.block)));
  }
  EXPECT_EQ(fake_files::saves_under_lock(), 0);
}

}  // namespace
