#include <gtest/gtest.h>

#include <string>

#include "cross/utils/base64.h"

namespace {

std::string encode(const std::string& s) {
  return b64encode(reinterpret_cast<const unsigned char*>(s.data()), static_cast<unsigned>(s.size()));
}

std::string decode(const std::string& s) {
  std::vector<unsigned char> bytes = b64decode(s);
  return std::string(bytes.begin(), bytes.end());
}

struct Vector {
  const char* plain;
  const char* encoded;
};

// The test vectors of RFC 4648, section 10.
const Vector kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, EncodesRfc4648Vectors) {
  for (const Vector& v : kRfc4648) EXPECT_EQ(encode(v.plain), v.encoded) << v.plain;
}

TEST(Base64, DecodesRfc4648Vectors) {
  for (const Vector& v : kRfc4648) EXPECT_EQ(decode(v.encoded), v.plain) << v.encoded;
}

TEST(Base64, RoundTripsEveryByteValueWithTheFullAlphabet) {
  std::string all;
  for (int i = 0; i < 256; i++) all += static_cast<char>(i);
  std::string text = encode(all);
  EXPECT_EQ(text.size(), 344u);
  EXPECT_NE(text.find('+'), std::string::npos);
  EXPECT_NE(text.find('/'), std::string::npos);
  EXPECT_EQ(decode(text), all);
}

TEST(Base64, ThirtyTwoZeroBytesGiveFortyFourCharacters) {
  unsigned char zeros[32] = {};
  EXPECT_EQ(b64encode(zeros, 32), "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
}

TEST(Base64, DecodingStopsAtPaddingOrAForeignCharacter) {
  EXPECT_EQ(decode("Zm9v=Zm9v"), "foo");
  EXPECT_EQ(decode("Zm9v Zm9v"), "foo");
  EXPECT_EQ(decode("Zm9v\nYmFy"), "foo");
  EXPECT_EQ(decode("Zm-9v"), "f");  // "Zm" still gives its byte before the stop
  EXPECT_EQ(decode("Zm9"), "fo");  // unpadded final group of 3 gives 2 bytes
  EXPECT_EQ(decode("Zg"), "f");    // unpadded final group of 2 gives 1 byte
  EXPECT_EQ(decode("Z"), "");      // a lone character carries no whole byte
}

TEST(Base64, NullOrEmptyInputGivesEmptyText) {
  EXPECT_EQ(b64encode(nullptr, 5), "");
  unsigned char one = 1;
  EXPECT_EQ(b64encode(&one, 0), "");
}

}  // namespace
