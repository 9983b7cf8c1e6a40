// The gateway's suffix text as DNS search names: what a name is, and what
// the text keeps of it.
#include "Service/common/dns/dns_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/service/service_env.h"

namespace {

bool isNameCharacter(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

std::string label(size_t n) { return std::string(n, 'a'); }

// 253 characters: labels of 63, 63, 63 and 61 with their three dots.
std::string longestName() { return label(63) + "." + label(63) + "." + label(63) + "." + label(61); }

TEST(DnsName, TakesLabelsOfLettersDigitsAndInnerHyphens) {
  for (const std::string& name : std::vector<std::string>{"a", "corp.example", "Corp-B.Example", "123.example", "a--b.example",
                                 "x1.y2.z3", label(63) + ".example", longestName()})
    EXPECT_TRUE(IsDnsName(name)) << name;
}

TEST(DnsName, RefusesEmptyLabelsOuterHyphensAndWhatIsTooLong) {
  for (const std::string& name : std::vector<std::string>{"", ".", "..", "a..b", ".a", "a.", "a.example.", "-", "-a", "a-", "a-.b", "a.-b",
                                 "a.b-", label(64), label(64) + ".example", longestName() + "a",
                                 std::string(1022, 'a')})
    EXPECT_FALSE(IsDnsName(name)) << name;
}

// One row per byte outside letters, digits, '-' and '.', inside a name
// and alone: the brackets, backslash, caret, underscore and backquote
// between 'Z' and 'a' too.
TEST(DnsName, RefusesEveryOtherCharacter) {
  for (int c = 0; c < 256; c++) {
    if (isNameCharacter(c)) continue;
    char shown[8];
    snprintf(shown, sizeof shown, "0x%02X", c);
    SCOPED_TRACE(shown);
    EXPECT_FALSE(IsDnsName(std::string("a") + static_cast<char>(c) + "b.example"));
    EXPECT_FALSE(IsDnsName(std::string(1, static_cast<char>(c))));
  }
}

struct TextCase {
  const char* name;
  std::string text;
  std::list<std::string> names;
};

TEST(SearchNames, KeepEachDnsNameOnceInOrder) {
  const TextCase cases[] = {
      {"list", "a.example;b.example", {"a.example", "b.example"}},
      {"blanks and empty pieces", " corp.example ;\t;lab.example\n;", {"corp.example", "lab.example"}},
      {"bad names left out", "a.example;-;..;a..b;.;lab_1.example;b.example", {"a.example", "b.example"}},
      {"repeats, letter case aside", "a.example;b.example;A.EXAMPLE;a.example", {"a.example", "b.example"}},
      {"one long piece", std::string(1022, 'a'), {}},
      {"only separators", ";;; ", {}},
      {"inner blank", "a example", {}},
  };
  for (const TextCase& c : cases) EXPECT_EQ(SearchNamesOfText(c.text), c.names) << c.name;
  std::string copies;
  for (int i = 0; i < 300; i++) copies += "a;";
  EXPECT_EQ(SearchNamesOfText(copies), std::list<std::string>{"a"});
}

TEST(SearchNames, AtMostTheBoundOfNamesAndEachOneLeftOutIsLogged) {
  std::string text;
  std::list<std::string> kept;
  for (size_t i = 0; i <= kMostSearchNames; i++) {
    std::string name = "n";  // in steps: gcc -O3 warns of the one-line form
    name += std::to_string(i);
    name += ".example";
    text += name + ";";
    if (i < kMostSearchNames) kept.push_back(name);
  }
  EXPECT_EQ(SearchNamesOfText(text + "bad_name;n0.example;a\x01" "b"), kept);
  std::string log = ServiceLogText();
  EXPECT_NE(log.find("DNS suffix left out (more than 32 names): n32.example"), std::string::npos) << log;
  EXPECT_NE(log.find("DNS suffix left out (not a DNS name): bad_name"), std::string::npos) << log;
  EXPECT_NE(log.find("DNS suffix left out (named before): n0.example"), std::string::npos) << log;
  EXPECT_NE(log.find("DNS suffix left out (not a DNS name): a?b"), std::string::npos) << log;
}

}  // namespace
