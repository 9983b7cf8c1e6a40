// The allowed-address list: the library's three operations and request 44
// on the one list, with the same rules (filled from the front, no address
// twice, 0 never stored, at most 256).
#include <gtest/gtest.h>

#include <vector>

#include "drv_requests.h"
#include "kernel/filter/white_lists.h"
#include "tests/filter/daemon_records.h"
#include "tests/filter/filter_fixture.h"

namespace {

using Ips = std::vector<uint32_t>;

enum Op { kSet, kAppend, kContains, kRequest44 };
constexpr int32_t kAll = -100;   // count: the size of the addresses given

struct Step {
  Op op;
  Ips addresses;
  int32_t count = kAll;
  bool null = false;   // pass a null array instead
  int32_t result = 0;  // the operation's result; request 44: its status
};

struct Case {
  const char *name;
  std::vector<Step> steps;
  Ips list;   // the whole list afterwards, in order
};

constexpr uint32_t A = 0xC6336401, B = 0xC6336402, C = 0xC6336403, X = 0xCB0071FE;

// `n` distinct addresses from 192.0.2.0 on: 192.0.2.1, 192.0.2.2, ...
Ips Distinct(uint32_t n, uint32_t from = 1) {
  Ips v;
  for (uint32_t i = 0; i < n; ++i) v.push_back(0xC0000200 + from + i);
  return v;
}

int32_t RunStep(const Step &s) {
  int32_t count = s.count == kAll ? (int32_t)s.addresses.size() : s.count;
  const uint32_t *a = s.null ? nullptr : s.addresses.data();
  switch (s.op) {
    case kSet: return SetAllowedIPs(a, count);
    case kAppend: return AppendAllowedIPs(a, count);
    case kContains: return AllowedIPsContains(s.addresses.at(0));
    case kRequest44: {
      std::vector<uint8_t> payload(4 * s.addresses.size());
      for (size_t i = 0; i < s.addresses.size(); ++i)
        zor::testrec::Put32(payload, 4 * i, s.addresses[i]);
      return zor::filtertest::Request(RQC_SETIPWHITELIST, payload, (uint32_t)payload.size(),
                                      (int64_t)s.addresses.size())
          .status();
    }
  }
  return -100;
}

std::vector<Case> Cases() {
  const Ips full = Distinct(256), over = Distinct(257), many = Distinct(250);
  return {
      {"set skips zeros and duplicates, in order", {{kSet, {A, 0, B, A, C, B}, kAll, false, 3}},
       {A, B, C}},
      {"set clears what was there", {{kSet, {A, B}, kAll, false, 2}, {kSet, {C}, kAll, false, 1}},
       {C}},
      {"append skips what is listed, also within the call",
       {{kSet, {A}, kAll, false, 1}, {kAppend, {B, A, 0, B, C}, kAll, false, 2}}, {A, B, C}},
      {"exactly 256, the first and the last found",
       {{kSet, full, kAll, false, 256}, {kContains, {full[0]}, kAll, false, 1},
        {kContains, {full[255]}, kAll, false, 1}},
       full},
      {"257 stop at 256", {{kSet, over, kAll, false, 256}, {kContains, {over[256]}, kAll, false, 0}},
       full},
      {"append to a full list adds none",
       {{kSet, full, kAll, false, 256}, {kAppend, {X}, kAll, false, 0},
        {kContains, {X}, kAll, false, 0}},
       full},
      {"append fills up to 256",
       {{kSet, many, kAll, false, 250}, {kAppend, Distinct(10, 251), kAll, false, 6}},
       full},
      {"a negative count changes nothing",
       {{kSet, {A}, kAll, false, 1}, {kSet, {B}, -1, false, -1}, {kAppend, {B}, -1, false, -1}},
       {A}},
      {"a null array with a positive count changes nothing",
       {{kSet, {A}, kAll, false, 1}, {kSet, {}, 1, true, -1}, {kAppend, {}, 3, true, -1}}, {A}},
      {"a null array with count 0: append adds none, set clears",
       {{kSet, {A}, kAll, false, 1}, {kAppend, {}, 0, true, 0}, {kSet, {}, 0, true, 0}}, {}},
      {"contains: listed, 0 and not listed",
       {{kSet, {A, B}, kAll, false, 2}, {kContains, {B}, kAll, false, 1},
        {kContains, {0}, kAll, false, 0}, {kContains, {C}, kAll, false, 0}},
       {A, B}},
      {"request 44's list is the one the operations read",
       {{kRequest44, {A, 0, B, A}}, {kContains, {B}, kAll, false, 1},
        {kAppend, {B, C}, kAll, false, 1}},
       {A, B, C}},
      {"request 44 replaces what the operations stored",
       {{kAppend, {A, B}, kAll, false, 2}, {kRequest44, {C}}}, {C}},
      {"request 44 of 257 is refused and leaves the list",
       {{kSet, {A}, kAll, false, 1}, {kRequest44, over, kAll, false, -4}}, {A}},
  };
}

class AllowedIps : public ::testing::Test {
 protected:
  void SetUp() override { zor::filtertest::Load(); }
  void TearDown() override { zor::filtertest::Unload(); }
};

TEST_F(AllowedIps, EveryCaseGivesItsResultsAndList) {
  for (const Case &c : Cases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SetAllowedIPs(nullptr, 0), 0);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      EXPECT_EQ(RunStep(c.steps[i]), c.steps[i].result);
    }
    Ips want = c.list;
    want.resize(WL_MAX_IPS, 0);
    EXPECT_EQ(Ips(allowed_ips, allowed_ips + WL_MAX_IPS), want);
  }
}

}  // namespace
