#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cross/utils/registry.h"
#include "tests/common/test_dir.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  const char* dir() const { return tmp.path().c_str(); }
  std::string file() const { return tmp.file("registry"); }
  void setFile(const std::string& text) { writeWholeFile(file(), text); }
  std::string text() const { return readWholeFile(file()); }
  int setString(const char* name, const std::string& value) {
    return Registry_RegSetValueString(dir(), name, reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()));
  }
  std::string getString(const char* name, int size = 256) {
    std::vector<char> out(static_cast<size_t>(size) + 1, 'Z');
    if (!Registry_RegGetValueString(dir(), name, out.data(), size)) return "<none>";
    return out.data();
  }
  TestDir tmp;
};

TEST_F(Registry, WritesTheExactLineFormWithMode0666) {
  umask(022);
  ASSERT_EQ(Registry_RegSetValueLongIntHex(dir(), "LogFileMaxSize", 0x400000), 1);
  ASSERT_EQ(Registry_RegSetValueLongIntHex(dir(), "WriteLog", 0), 1);
  ASSERT_EQ(setString("Name", "some text"), 1);
  EXPECT_EQ(text(), "LogFileMaxSize\t \"0x400000\"\nWriteLog\t \"0x0\"\nName\t \"some text\"\n");
  struct stat st {};
  ASSERT_EQ(stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  umask(0);
}

TEST_F(Registry, SignedValuesAreStoredAsTheirTwosComplementBits) {
  ASSERT_EQ(Registry_RegSetValueLongIntHex(dir(), "N", -1), 1);
  EXPECT_EQ(text(), "N\t \"0xFFFFFFFFFFFFFFFF\"\n");
  long v = 0;
  ASSERT_EQ(Registry_RegGetValueLongInt(dir(), "N", &v), 1);
  EXPECT_EQ(v, -1);
}

TEST_F(Registry, RewritingANameLeavesOneLineAtTheEnd) {
  setFile("FlushDNS\t \"0x0\"\n   Other\t \"x\"\nFlushDNS\t \"0x0\"\n\n  Last\t \"y\"\n");
  ASSERT_EQ(Registry_RegSetValueLongIntHex(dir(), "FlushDNS", 1), 1);
  ASSERT_EQ(Registry_RegSetValueLongIntHex(dir(), "FlushDNS", 1), 1);
  // The lines behind a removed line lose their leading blanks and empty lines.
  EXPECT_EQ(text(), "Other\t \"x\"\nLast\t \"y\"\nFlushDNS\t \"0x1\"\n");
}

TEST_F(Registry, AHandEditedLastLineWithoutLineEndIsKept) {
  setFile("Other\t \"x\"\nFlushDNS\t \"0x0\"");
  ASSERT_EQ(setString("Keep", "k"), 1);
  EXPECT_EQ(text(), "Other\t \"x\"\nFlushDNS\t \"0x0\"\nKeep\t \"k\"\n");
  setFile("Other\t \"x\"\nKeep\t \"k\"");
  ASSERT_EQ(setString("Keep", "m"), 1);
  EXPECT_EQ(text(), "Other\t \"x\"\nKeep\t \"m\"\n");
}

TEST_F(Registry, NamesMatchAsPrefixesAndValuelessLinesAreSkipped) {
  setFile("WriteLogging\t \"0x0\"\nWriteLog\t \"0x1\"\n");
  int v = 7;
  ASSERT_EQ(Registry_RegGetValueInt(dir(), "WriteLog", &v), 1);
  EXPECT_EQ(v, 0);

  setFile("Name\t   \nName\n  \tName\t \"real\"\n");
  EXPECT_EQ(getString("Name"), "real");
  ASSERT_EQ(setString("Name", "new"), 1);
  EXPECT_EQ(text(), "Name\t   \nName\nName\t \"new\"\n");
}

struct ReadCase {
  const char* line;
  const char* value;  // "<none>" for no match
};

TEST_F(Registry, ReadsValuesLikeTheWriterWritesThemAndLikeHandsEditThem) {
  const ReadCase cases[] = {
      {"A\t \"plain\"\n", "plain"},
      {"A=\"quoted\"\r\n", "quoted"},
      {"A 'single'\n", "single"},
      {"  \t A:  value\n", "value"},
      {"A\t\t\"tab\"\n", "\t\"tab"},  // a TAB after the separator stays: no quote skipped
      {"A\t \"abc%def\"\n", "abc"},
      {"A\t \"\"\n", ""},
      {"A\n", "<none>"},
      {"A", "<none>"},
      {"B\t \"other\"\n", "<none>"},
  };
  for (const ReadCase& c : cases) {
    setFile(c.line);
    EXPECT_EQ(getString("A"), c.value) << c.line;
  }
}

TEST_F(Registry, StringReaderStaysInsideTheCallersBuffer) {
  setFile("A\t \"0123456789\"\n");
  char out[8];
  memset(out, 'Z', sizeof out);
  ASSERT_EQ(Registry_RegGetValueString(dir(), "A", out, 5), 1);
  EXPECT_STREQ(out, "0123");
  EXPECT_EQ(out[5], 'Z');
  EXPECT_EQ(Registry_RegGetValueString(dir(), "A", out, 0), 0);
}

struct NumberCase {
  const char* text;
  uint64_t value;
};

TEST_F(Registry, ParsesNumberTextsByTheirForm) {
  const NumberCase cases[] = {
      {"0x1", 1},       {"0X1f", 31},      {"4194304", 4194304}, {"17o", 15},
      {"ffx", 255},     {"1b", 27},        {"1-2", 102},         {"-5", 5},
      {"0x", 0},        {"x", 0},          {"abc%1", 0xABC},
      {"18446744073709551617", 1},  // wraps modulo 2^64
  };
  for (const NumberCase& c : cases) {
    setFile(std::string("N\t \"") + c.text + "\"\n");
    uint64_t v = 12345;
    ASSERT_EQ(Registry_RegGetValueUnsignedLongLong(dir(), "N", &v), 1) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  setFile("N\t \"%12\"\n");
  uint64_t v = 12345;
  EXPECT_EQ(Registry_RegGetValueUnsignedLongLong(dir(), "N", &v), 0);
  EXPECT_EQ(v, 12345u);
  setFile("N\t \"0x1FFFFFFFF\"\n");
  int i = 0;
  ASSERT_EQ(Registry_RegGetValueInt(dir(), "N", &i), 1);
  EXPECT_EQ(i, -1);  // the low 32 bits
}

TEST_F(Registry, RefusesBadArgumentsAndLeavesOutputsAlone) {
  int v = 42;
  EXPECT_EQ(Registry_RegGetValueInt(dir(), "Missing", &v), 0);  // no file at all
  EXPECT_EQ(v, 42);
  const unsigned char ok[] = "v";
  EXPECT_EQ(Registry_RegSetValueString(nullptr, "A", ok, 1), 0);
  EXPECT_EQ(Registry_RegSetValueString("", "A", ok, 1), 0);
  EXPECT_EQ(Registry_RegSetValueString(dir(), "", ok, 1), 0);
  EXPECT_EQ(Registry_RegSetValueString(dir(), "A", nullptr, 1), 0);
  EXPECT_EQ(Registry_RegSetValueString(dir(), "A", ok, 0), 0);
  const unsigned char nul[] = {0, 'x'};
  EXPECT_EQ(Registry_RegSetValueString(dir(), "A", nul, 2), 0);
  EXPECT_EQ(access(file().c_str(), F_OK), -1);
  EXPECT_EQ(setString("A", std::string(1024, 'x')), 0);
  EXPECT_EQ(setString("A", std::string(1023, 'x')), 1);
  EXPECT_EQ(text(), "A\t \"" + std::string(1023, 'x') + "\"\n");
}

TEST_F(Registry, NulBytesOfAValueAreStoredAsPercent) {
  const unsigned char value[] = {'a', 'b', 0, 'c'};
  ASSERT_EQ(Registry_RegSetValueString(dir(), "A", value, 4), 1);
  EXPECT_EQ(text(), "A\t \"ab%c\"\n");
  EXPECT_EQ(value[2], 0);  // the caller's buffer is left as it was
  EXPECT_EQ(getString("A"), "ab");
}

TEST_F(Registry, DoesNotFollowASymbolicLink) {
  std::string target = tmp.file("elsewhere");
  writeWholeFile(target, "A\t \"secret\"\n");
  ASSERT_EQ(symlink(target.c_str(), file().c_str()), 0);
  EXPECT_EQ(getString("A"), "<none>");
  EXPECT_EQ(setString("A", "x"), 0);
  EXPECT_EQ(readWholeFile(target), "A\t \"secret\"\n");
}

TEST_F(Registry, APipeInPlaceOfTheFileIsRefusedNotWaitedFor) {
  ASSERT_EQ(mkfifo(file().c_str(), 0666), 0);
  EXPECT_EQ(getString("A"), "<none>");
  EXPECT_EQ(setString("A", "x"), 0);
}

// Any user may write the file: one padded past 64 KiB is neither read nor
// rewritten (its settings fall back to their defaults); up to that, it is.
TEST_F(Registry, AFileOfMoreThan64KiBIsNeitherReadNorRewritten) {
  std::string head = "A\t \"0x5\"\n";
  setFile(head + std::string(64 * 1024 - head.size() - 1, ' ') + "\n");
  int v = 0;
  EXPECT_EQ(Registry_RegGetValueInt(dir(), "A", &v), 1);
  EXPECT_EQ(v, 5);
  setFile(head + std::string(64 * 1024 - head.size(), ' ') + "\n");
  v = 0;
  EXPECT_EQ(Registry_RegGetValueInt(dir(), "A", &v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(setString("B", "x"), 0);
  EXPECT_EQ(text().size(), 64u * 1024 + 1);
}

// The value name writer t gives its n-th value: "T<t>N<n>_".
std::string writerName(int t, int n) {
  std::string name = "T";
  name += std::to_string(t);
  name += 'N';
  name += std::to_string(n);
  name += '_';
  return name;
}

TEST_F(Registry, ConcurrentWritersOfDifferentNamesLoseNoLine) {
  const int kThreads = 8, kNames = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([this, t] {
      for (int n = 0; n < kNames; n++) {
        std::string name = writerName(t, n);
        Registry_RegSetValueLongIntHex(dir(), name.c_str(), t * 100 + n);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; t++) {
    for (int n = 0; n < kNames; n++) {
      std::string name = writerName(t, n);
      long v = -1;
      ASSERT_EQ(Registry_RegGetValueLongInt(dir(), name.c_str(), &v), 1) << name;
      EXPECT_EQ(v, t * 100 + n);
    }
  }
  std::string all = text();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), kThreads * kNames);
}

}  // namespace
