// Control requests on an installed block: the login rule, the payload check,
// arguments that claim more data than the buffer holds, the sub-codes
// without effect, the record read and its walk.
#include "tests/fsguard/guard_fixture.h"

namespace {

using namespace zor::fsguard;

const std::vector<uint8_t> kPassword = text_bytes("guard-pass");

class Ioctl : public GuardFixture {
 protected:
  void set_password_and_log_out() {
    ASSERT_EQ(ioctl(request_bytes(FSG_SETPASSWORD, 10, kPassword)).result, FSG_OK);
    ASSERT_EQ(ioctl(request_bytes(FSG_LOGOUT, {})).result, FSG_OK);
  }
};

constexpr uint32_t kLoginSet[] = {FSG_SETPASSWORD, FSG_SETENABLED, FSG_ADDFILE, FSG_DELETEFILE,
                                  FSG_DELETEALLFILES, FSG_UNLINKFILE, FSG_CLEARLOG};

TEST_F(Ioctl, LoginSetIsRefusedWhileLoggedOutWithTheBufferAsItCame) {
  set_password_and_log_out();
  std::string before = block_hex();
  for (uint32_t code : kLoginSet) {
    SCOPED_TRACE(code);
    std::vector<uint8_t> request = request_bytes(code, 2, text_bytes("/a"));
    IoctlAnswer a = ioctl(request);
    EXPECT_EQ(a.result, FSG_LOGIN_REQUIRED);
    request[4] = FSG_LOGIN_REQUIRED;  // only the result changes
    EXPECT_EQ(to_hex(a.buffer), to_hex(request));
  }
  EXPECT_EQ(block_hex(), before);
  EXPECT_TRUE(fake_files::unlinked().empty());
}

TEST_F(Ioctl, OtherSubCodesNeedNoLogin) {
  set_password_and_log_out();
  for (uint32_t code = 0; code <= 18; ++code) {
    bool inLoginSet = false;
    for (uint32_t c : kLoginSet) inLoginSet |= c == code;
    if (inLoginSet) continue;
    SCOPED_TRACE(code);
    EXPECT_NE(ioctl(request_bytes(code, 0, {}, 8)).result, FSG_LOGIN_REQUIRED);
  }
}

TEST_F(Ioctl, WithoutPasswordEverythingIsAllowed) {
  IoctlAnswer logged = ioctl(request_bytes(FSG_ISLOGGED, 0));
  EXPECT_EQ(logged.result, FSG_OK);
  EXPECT_EQ(logged.value(), 1u);
  EXPECT_EQ(ioctl(request_bytes(FSG_LOGIN, 0)).result, FSG_FAILED);  // empty password
  EXPECT_EQ(ioctl(request_bytes(FSG_ADDFILE, 2, text_bytes("/a"))).result, FSG_OK);
  EXPECT_EQ(ioctl(request_bytes(FSG_DELETEALLFILES, {})).result, FSG_OK);
  EXPECT_EQ(ioctl(request_bytes(FSG_SETENABLED, 1)).result, FSG_OK);
}

TEST_F(Ioctl, PayloadShorterThanFourBytesAnswersOneWithTheLengthAsItCame) {
  const uint32_t checked[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 11, 12, 13};
  for (uint32_t code : checked) {
    for (size_t payload = 0; payload < 4; ++payload) {
      SCOPED_TRACE(testing::Message() << "code " << code << " payload " << payload);
      std::vector<uint8_t> request = request_bytes(code, std::vector<uint8_t>(payload, 0x5A));
      IoctlAnswer a = ioctl(request);
      EXPECT_EQ(a.result, FSG_FAILED);
      request[4] = FSG_FAILED;
      EXPECT_EQ(to_hex(a.buffer), to_hex(request));
    }
  }
}

struct Shape {
  uint32_t code;
  size_t payload;
  uint32_t result;
  uint32_t length;
};

TEST_F(Ioctl, SubCodesWithoutEffectAndUnknownOnes) {
  const Shape shapes[] = {
      {FSG_LOGOUT, 0, 0, 8},        {FSG_DELETEALLFILES, 0, 0, 8}, {FSG_ADDTOLOG, 7, 1, 15},
      {FSG_ADDTOLOG, 8, 1, 8},      {FSG_GETFROMLOG, 0, 1, 8},     {FSG_GETFROMLOG, 20, 1, 28},
      {FSG_CLEARLOG, 0, 1, 8},      {FSG_CLEARLOG, 12, 1, 8},      {FSG_GETLOGSIZE, 3, 1, 11},
      {FSG_GETLOGSIZE, 4, 1, 12},   {FSG_GETLOGSIZE, 9, 1, 12},    {18, 0, 1, 8},
      {18, 16, 1, 8},               {0xFFFFFFFF, 4, 1, 8},
  };
  for (const Shape &s : shapes) {
    SCOPED_TRACE(testing::Message() << "code " << s.code << " payload " << s.payload);
    std::vector<uint8_t> request = request_bytes(s.code, std::vector<uint8_t>(s.payload, 0x5A));
    IoctlAnswer a = ioctl(request);
    EXPECT_EQ(a.result, s.result);
    EXPECT_EQ(a.length(), s.length);
    EXPECT_EQ(a.code(), s.result);
    // Nothing beyond the length and result is written.
    EXPECT_EQ(to_hex(a.buffer.data() + 8, s.payload), to_hex(request.data() + 8, s.payload));
  }
}

TEST_F(Ioctl, NoBufferOrOneShorterThanEightBytesIsLeftUntouched) {
  EXPECT_EQ(zor::fsguard::ioctl(g, nullptr), FSG_FAILED);
  std::vector<uint8_t> shortBuffer = hex_bytes("07000000 000000");
  IoctlAnswer a = ioctl(shortBuffer);
  EXPECT_EQ(a.result, FSG_FAILED);
  EXPECT_EQ(to_hex(a.buffer), to_hex(shortBuffer));
}

// The buffer holds exactly its length, so a read past the data is caught by
// the sanitizer build; the argument claims one byte (or far) more.
TEST_F(Ioctl, ArgumentLongerThanTheDataIsRefused) {
  ASSERT_EQ(add("/a"), FSG_OK);
  fake_files::existing() = {"/a"};
  std::string before = block_hex();
  int saves = fake_files::saves();
  const uint32_t codes[] = {FSG_SETPASSWORD, FSG_LOGIN, FSG_ADDFILE, FSG_DELETEFILE,
                            FSG_UNLINKFILE};
  for (uint32_t code : codes) {
    for (uint32_t argument : {3u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      SCOPED_TRACE(testing::Message() << "code " << code << " argument " << argument);
      IoctlAnswer a = ioctl(request_bytes(code, argument, text_bytes("/a")));
      EXPECT_EQ(a.result, FSG_FAILED);
      EXPECT_EQ(a.length(), 8u);
    }
  }
  EXPECT_EQ(block_hex(), before);
  EXPECT_EQ(fake_files::saves(), saves);
  EXPECT_TRUE(fake_files::unlinked().empty());
  // The same request with an argument that fits does act.
  EXPECT_EQ(ioctl(request_bytes(FSG_DELETEFILE, 2, text_bytes("/a"))).result, FSG_OK);
}

TEST_F(Ioctl, AddWithoutMemoryKeepsTheBlock) {
  ASSERT_EQ(add("abc"), FSG_OK);
  std::string before = block_hex();
  testhost::state().fail_alloc_at = 1;
  IoctlAnswer a = ioctl(request_bytes(FSG_ADDFILE, 2, text_bytes("/b")));
  EXPECT_EQ(a.result, FSG_NO_MEMORY);
  EXPECT_EQ(a.length(), 8u);
  EXPECT_EQ(block_hex(), before);
  EXPECT_EQ(ioctl(request_bytes(FSG_ADDFILE, 0, {})).result, FSG_FAILED);
}

TEST_F(Ioctl, RecordNumbersOutsideTheListAndAWalkPastTheBlockEnd) {
  ASSERT_EQ(add("abc"), FSG_OK);
  IoctlAnswer none = ioctl(request_bytes(FSG_GETFILERECORD, 1, {}, 64));
  EXPECT_EQ(none.result, FSG_FAILED);
  EXPECT_EQ(none.length(), 8u);
  // A block that counts two records but holds one.
  cfg->recordCount = 2;
  IoctlAnswer past = ioctl(request_bytes(FSG_GETFILERECORD, 1, {}, 64));
  EXPECT_EQ(past.result, FSG_WALK_PAST_END);
  EXPECT_EQ(past.length(), 8u);
  EXPECT_FALSE(listed("/zz"));  // the look-up walk stops there too
}

TEST_F(Ioctl, LoginStateAcrossPasswordChangesAndRefusals) {
  ASSERT_EQ(ioctl(request_bytes(FSG_SETPASSWORD, 10, kPassword)).result, FSG_OK);
  EXPECT_EQ(ext->loggedIn, 1u);  // the setter is logged in
  EXPECT_EQ(ioctl(request_bytes(FSG_LOGIN, 5, text_bytes("wrong"))).result, FSG_WRONG_PASSWORD);
  EXPECT_EQ(ioctl(request_bytes(FSG_ADDFILE, 2, text_bytes("/a"))).result, FSG_OK);
  ASSERT_EQ(ioctl(request_bytes(FSG_SETPASSWORD, 0)).result, FSG_OK);
  EXPECT_EQ(ext->loggedIn, 1u);  // clearing the password keeps the word
  EXPECT_EQ(ioctl(request_bytes(FSG_LOGIN, 5, text_bytes("wrong"))).result, FSG_WRONG_PASSWORD);
  EXPECT_EQ(ioctl(request_bytes(FSG_HASPASSWORD, 0)).value(), 0u);
  ASSERT_EQ(ioctl(request_bytes(FSG_LOGOUT, {})).result, FSG_OK);
  EXPECT_EQ(ioctl(request_bytes(FSG_ISLOGGED, 0)).value(), 1u);  // no password: logged in
}

}  // namespace
