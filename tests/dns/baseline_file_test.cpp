// The baseline file's text, its strict reader, and what start-up does with a
// file that does not follow it.
#include "Service/common/dns/suffix_baseline_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Service/common/dns/suffix_baseline.h"
#include "tests/common/test_dir.h"
#include "tests/service/service_env.h"

using namespace suffix_baseline;

namespace {

TEST(SuffixJsonString, EscapesQuoteBackslashAndControlBytesOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"corp", "\"corp\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {std::string("\x01x\x1f", 3), "\"\\u0001x\\u001f\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"\x7f/\xc3\xa9", "\"\x7f/\xc3\xa9\""},
      {"", "\"\""},
  };
  for (const Case& c : cases) EXPECT_EQ(SuffixJsonString(c.in), c.out) << c.in;
}

TEST(SuffixBaselineText, IsOneLineInIdOrderWithoutBlanks) {
  std::string one = SuffixBaselineText({{"Wired 1", {"corp", "lab"}}});
  EXPECT_EQ(one, "{\"connections\":[{\"id\":\"Wired 1\",\"search\":[\"corp\",\"lab\"]}]}\n");
  EXPECT_EQ(one.size(), 59u);
  EXPECT_EQ(SuffixBaselineText({{"b", {}}, {"a", {"x"}}}),
            "{\"connections\":[{\"id\":\"a\",\"search\":[\"x\"]},{\"id\":\"b\",\"search\":[]}]}\n");
}

TEST(ParseSuffixBaseline, ReadsBackWhatIsWrittenByteForByte) {
  PreviousSuffixMap map = {{"Wired \"1\"", {std::string("ctl\x01\x1f", 5), "back\\slash", "lab"}}, {"Wired 2", {}}};
  EXPECT_EQ(ParseSuffixBaseline(SuffixBaselineText(map)), map);
}

TEST(ParseSuffixBaseline, AcceptsBlanksEscapesAndRepeatedIds) {
  struct Case {
    const char* text;
    PreviousSuffixMap map;
  } cases[] = {
      {"{\"connections\":[]}", {}},
      {" \n{ \"connections\" : [ { \"id\" : \"a\" , \"search\" : [ \"x\" , \"y\" ] } ] }\t\n", {{"a", {"x", "y"}}}},
      {"{\"connections\":[{\"id\":\"a\\/b\",\"search\":[\"\\u007f\",\"\\u0041\"]}]}", {{"a/b", {"\x7f", "A"}}}},
      {"{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u004A\\u004a\"]}]}", {{"a", {"JJ"}}}},
      {"{\"connections\":[{\"id\":\"a\",\"search\":[\"1\"]},{\"id\":\"a\",\"search\":[\"2\"]}]}", {{"a", {"2"}}}},
  };
  for (const Case& c : cases) {
    auto got = ParseSuffixBaseline(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(*got, c.map) << c.text;
  }
}

TEST(ParseSuffixBaseline, RejectsAnythingOutsideTheFormat) {
  const char* damaged[] = {
      "",
      "{\"connections\":[]}x",
      "{\"connections\":[]} }",
      "{\"connections\":[{\"search\":[],\"id\":\"a\"}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[],\"x\":1}]}",
      "{\"connections\":[{\"id\":7,\"search\":[]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"x\\n\"]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u0080\"]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u00",
      // A \u escape takes exactly four hex digits.
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u7zzz\"]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u0x41\"]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u +41\"]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"\\u-041\"]}]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"open",
      "{\"connections\":[{\"id\":\"a\",\"search\":[]},]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[\"x\",]}]}",
      "{\"connexions\":[]}",
      "{\"connections\":[{\"id\":\"a\",\"search\":[]}]",
  };
  for (const char* text : damaged) EXPECT_FALSE(ParseSuffixBaseline(text).has_value()) << text;
}

TEST(SaveSuffixBaselineFile, WritesPrivateFileAndRemovesItForAnEmptyMap) {
  TestDir dir;
  std::string path = dir.file("Solvarin/dns-suffix-baseline.json");
  SaveSuffixBaselineFile(path, {{"Wired 1", {"corp", "lab"}}});
  EXPECT_EQ(readWholeFile(path), SuffixBaselineText({{"Wired 1", {"corp", "lab"}}}));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(dir.file("Solvarin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  SaveSuffixBaselineFile(path, {});
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(SaveSuffixBaselineFile, UnwritablePlaceIsLogged) {
  TestDir dir;
  writeWholeFile(dir.file("plain"), "x");
  SaveSuffixBaselineFile(dir.file("plain/inner/baseline.json"), {{"a", {"x"}}});
  EXPECT_NE(ServiceLogText().find("ERROR! Can't write DNS suffix baseline file"), std::string::npos);
}

// Start-up drops an empty or damaged file without asking NetworkManager
// (there is none here) and leaves a missing file alone.
TEST(RestoreSuffixBaselineAtStartup, DropsEmptyOrDamagedFile) {
  TestDir dir;
  std::string saved = g_suffix_baseline_path;
  g_suffix_baseline_path = dir.file("baseline.json");
  for (const char* text : {"{\"connections\":[]}\n", "{\"connections\":[]}x", "garbage"}) {
    writeWholeFile(g_suffix_baseline_path, text);
    RestoreSuffixBaselineAtStartup();
    EXPECT_NE(access(g_suffix_baseline_path.c_str(), F_OK), 0) << text;
  }
  EXPECT_NE(ServiceLogText().find("DNS suffix baseline file is empty or damaged - dropped, suffixes untouched"),
            std::string::npos);
  RestoreSuffixBaselineAtStartup();  // no file: nothing happens
  g_suffix_baseline_path = saved;
}

}  // namespace
