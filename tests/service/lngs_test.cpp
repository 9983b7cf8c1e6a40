#include <gtest/gtest.h>

#include <string>

#include "cross/common/lngs.h"

namespace {

class StringTable : public ::testing::Test {
 protected:
  void TearDown() override { LNGS_SetLanguage(LNGS_RUSSIAN); }
};

TEST_F(StringTable, Row100InBothLanguages) {
  EXPECT_EQ(LNGS_GetLanguage(), LNGS_RUSSIAN);
  EXPECT_STREQ(LNGS(100), "RI-Ruzudur");
  LNGS_SetLanguage(LNGS_ENGLISH);
  EXPECT_STREQ(LNGS(100), "VO-Zoruzir");
}

TEST_F(StringTable, EveryRowHasATextInBothLanguages) {
  for (int language : {LNGS_RUSSIAN, LNGS_ENGLISH}) {
    LNGS_SetLanguage(language);
    for (int id = 0; id <= 268; id++) EXPECT_STRNE(LNGS(id), "") << id;
  }
  LNGS_SetLanguage(LNGS_RUSSIAN);
  std::string russian = LNGS(7);
  LNGS_SetLanguage(LNGS_ENGLISH);
  EXPECT_NE(russian, LNGS(7));
}

TEST_F(StringTable, RowOrLanguageOutOfRangeGivesQuestionMark) {
  EXPECT_STREQ(LNGS(-1), "?");
  EXPECT_STREQ(LNGS(269), "?");
  LNGS_SetLanguage(2);
  EXPECT_STREQ(LNGS(100), "?");
  LNGS_SetLanguage(-1);
  EXPECT_STREQ(LNGS(0), "?");
}

}  // namespace
