// Running out of memory at every allocation of a read, save or conversion:
// the failure is reported and nothing in memory or on disk is changed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "cross/common/profile_convert.h"
#include "cross/common/profile_file_v1.h"
#include "cross/common/profile_file_v2.h"
#include "cross/common/profile_list.h"
#include "tests/profiles/profile_test_support.h"

namespace {

// One allocation of a chosen size fails: the n-th from now (0 the next one).
// The JSON library's destructors allocate (blocks of 16 bytes) and cannot
// fail cleanly, so the tests pick sizes that only texts have.
size_t failingSize = 0;
long allocationsLeft = -1;  // -1: never fail
bool failed = false;

bool failNow(size_t n) {
  if (allocationsLeft < 0 || n != failingSize || allocationsLeft-- > 0) return false;
  allocationsLeft = -1;
  failed = true;
  return true;
}

void failAllocation(size_t size, long n) {
  failed = false;
  failingSize = size;
  allocationsLeft = n;
}

void stopFailing() {
  allocationsLeft = -1;
}

}  // namespace

// The replacements below pair malloc with free; the compiler sees only the
// new and delete expressions that they serve.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t n) {
  void* p = failNow(n) ? nullptr : malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return failNow(n) ? nullptr : malloc(n != 0 ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept {
  return operator new(n, tag);
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  free(p);
}

namespace {

using ProfileAlloc = ProfileTest;

// Texts of 40 bytes: each copy is an allocation of 41 bytes.
const std::string kText40(40, 'x');
const size_t kTextAllocation = 41;

const std::string kDocument = R"({"size": 3, "in_use": 2, "profiles": [
  {"id": 1, "type": 0, "humanReadName": ")" +
                              kText40 + R"(", "userNames": ["a", ")" + kText40 + R"("],
   "certificate": {"certCN": ")" +
                              kText40 + R"(", "uniqId": "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="},
   "veskAddrs": [{"type": 1, "fa_ipaddr": 3221226034}]},
  {"id": 2, "type": 1, "tunnelGroup": "g", "humanReadName": ")" +
                              kText40 + R"(", "userNames": ["d"]},
  {"id": 3, "type": 0, "tunnelGroups": [")" +
                              kText40 + R"("], "usingTunnelGroup": 0}]})";

std::string listText() {
  char buf[16384];
  unsigned len = sizeof buf;
  EXPECT_EQ(PC_List_SaveCfg(1, buf, &len, 0), 0);
  return std::string(buf, len);
}

void seedList() {
  PC_List_Cleanup();
  PC_List_AddNewConfig(30);
  PROFILE_CFG_LIST.in_use = 30;
}

// Runs step with the n-th allocation of the size failing, for n = 0, 1, ...
// until a run in which none failed; check sees the result of every failed run.
void everyAllocation(size_t size, const std::function<int()>& step,
                     const std::function<void(int result, bool threw)>& check) {
  int failures = 0;
  for (long n = 0;; n++, failures++) {
    int result = 0;
    bool threw = false;
    failAllocation(size, n);
    try {
      result = step();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    stopFailing();
    if (!failed) {
      EXPECT_FALSE(threw);
      EXPECT_GT(failures, 0) << "no allocation of " << size << " bytes";
      break;
    }
    check(result, threw);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "allocation " << n;
      break;
    }
  }
}

TEST_F(ProfileAlloc, AddNewConfigReportsAFailedAllocation) {
  PROFILE_CONFIG_t* first = PC_List_AddNewConfig(1);
  failAllocation(sizeof(PROFILE_CONFIG_t), 0);
  PROFILE_CONFIG_t* p = PC_List_AddNewConfig(2);
  stopFailing();
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(PROFILE_CFG_LIST.head, first);
  EXPECT_EQ(first->next, nullptr);
  EXPECT_EQ(PROFILE_CFG_LIST.count, 1u);
}

TEST_F(ProfileAlloc, FirstVersionTextReadLeavesTheList) {
  for (size_t size : {kTextAllocation, sizeof(PROFILE_CONFIG_t)}) {
    seedList();
    const std::string before = listText();
    everyAllocation(
        size,
        [] {
          std::string text = kDocument;
          return PC_List_ReadCfg(text.data(), static_cast<int>(text.size()));
        },
        [&](int result, bool threw) {
          EXPECT_TRUE(threw || result == -3) << result;
          EXPECT_EQ(listText(), before);
        });
  }
  EXPECT_EQ(PROFILE_CFG_LIST.count, 3u);
}

TEST_F(ProfileAlloc, FirstVersionFileReadLeavesTheList) {
  writeWholeFile(cfgPath(), kDocument);
  for (size_t size : {kTextAllocation, sizeof(PROFILE_CONFIG_t)}) {
    seedList();
    const std::string before = listText();
    everyAllocation(
        size, [] { return PC_List_ReadCfg(nullptr, 0); },
        [&](int result, bool threw) {
          EXPECT_TRUE(threw || result == -3) << result;
          EXPECT_EQ(listText(), before);
        });
  }
  EXPECT_EQ(PROFILE_CFG_LIST.count, 3u);
}

TEST_F(ProfileAlloc, FirstVersionSaveLeavesTheFile) {
  writeWholeFile(cfgPath(), "old");
  std::string text = kDocument;
  ASSERT_EQ(PC_List_ReadCfg(text.data(), static_cast<int>(text.size())), 0);
  everyAllocation(
      kTextAllocation, [] { return PC_List_SaveCfg(0, nullptr, nullptr, 0); },
      [&](int result, bool threw) {
        EXPECT_TRUE(threw || result == -1) << result;
        EXPECT_EQ(readWholeFile(cfgPath()), "old");
        EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"cfg.ini"});
      });
  EXPECT_TRUE(mx_cfgwork_guard.try_lock());
  mx_cfgwork_guard.unlock();
}

TEST_F(ProfileAlloc, SecondVersionReadLeavesTheSet) {
  writeWholeFile(cfgPath(), kDocument);
  ProfileConfig set;
  set.profiles.resize(1);
  const ProfileConfig before = set;
  everyAllocation(
      kTextAllocation, [&] { return JSON_Read(cfgPath(), &set); },
      [&](int result, bool threw) {
        EXPECT_TRUE(threw || result == -3) << result;
        EXPECT_EQ(set, before);
      });
  EXPECT_EQ(set.profiles.size(), 3u);
}

TEST_F(ProfileAlloc, ConversionLeavesTheSet) {
  std::string text = kDocument;
  ASSERT_EQ(PC_List_ReadCfg(text.data(), static_cast<int>(text.size())), 0);
  g_ProfileConfigPtr->profiles.resize(1);
  g_ProfileConfigPtr->in_use = 9;
  const ProfileConfig before = *g_ProfileConfigPtr;
  everyAllocation(
      kTextAllocation,
      [] {
        ConvertConfig_v1_To_v2();
        return 0;
      },
      [&](int, bool threw) {
        EXPECT_TRUE(threw);
        EXPECT_EQ(*g_ProfileConfigPtr, before);
      });
  EXPECT_EQ(g_ProfileConfigPtr->profiles.size(), 3u);
  EXPECT_TRUE(g_mx_ProfileLocker.try_lock());
  g_mx_ProfileLocker.unlock();
}

}  // namespace
