// Texts in fixed-width fields: cut without splitting a UTF-8 character.
#include "cross/common/profile_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct CutCase {
  const char* text;
  size_t max;
  size_t expected;
};

TEST(ProfileText, CutNeverSplitsACharacter) {
  const CutCase cases[] = {
      {"abc", 5, 3},
      {"abcdef", 4, 4},
      {"ab\xD0\x96", 3, 2},          // two-byte character across the cut
      {"ab\xD0\x96", 4, 4},          // ends exactly at the cut
      {"a\xE2\x82\xAC", 2, 1},       // three-byte character, cut after its lead byte
      {"a\xE2\x82\xAC", 3, 1},       // ... and inside its tail
      {"a\xF0\x9F\x94\x91z", 4, 1},  // four-byte character
      {"a\xF0\x9F\x94\x91z", 5, 5},
      {"\xD0\x96\xD0\x96", 1, 0},
      {"", 0, 0},
  };
  for (const CutCase& c : cases) {
    EXPECT_EQ(Utf8PrefixLength(c.text, c.max), c.expected) << c.text << " at " << c.max;
  }
}

TEST(ProfileText, CopyFillsTheFieldFromTheStart) {
  char field[4];
  memset(field, 'z', sizeof field);
  CopyToField(field, sizeof field, "ab\xD0\x96\xD0\x96");
  EXPECT_EQ(std::string(field, 4), "ab\xD0\x96");
  memset(field, 0, sizeof field);
  CopyToField(field, sizeof field, "abc\xD0\x96");
  EXPECT_EQ(std::string(field, 4), std::string("abc\0", 4));
}

TEST(ProfileText, FieldTextStopsAtZeroOrWidth) {
  const char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(FieldText(full, 4), "abcd");
  const char shortText[4] = {'a', 0, 'c', 'd'};
  EXPECT_EQ(FieldText(shortText, 4), "a");
}

}  // namespace
