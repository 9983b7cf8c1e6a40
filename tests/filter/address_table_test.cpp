#include "byte_order.h"
#include "kernel/filter/address_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kernel/filter/wire_format.h"

namespace {

using namespace zor::addr;

constexpr uint32_t A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t)a << 24 | (uint32_t)b << 16 | (uint32_t)c << 8 | d;
}

struct AddressTable : ::testing::Test {
  std::unique_ptr<Table> t{new Table{}};
  uint8_t dyn[kDynCfgSize]{};

  // Typed configuration: one item per call, appended behind the 16-byte head.
  uint32_t end = 16;
  void Typed() {
    store_le16(dyn + 4, kDynCfgTyped);
    store_le16(dyn + 6, (uint16_t)end);
  }
  void Item(uint8_t type, uint8_t n, const std::vector<uint8_t> &body) {
    uint8_t *p = dyn + end;
    store_le16(p, (uint16_t)(4 + body.size()));
    p[2] = type;
    p[3] = n;
    memcpy(p + 4, body.data(), body.size());
    end += 4 + body.size();
    Typed();
  }
  static std::vector<uint8_t> U32s(std::initializer_list<uint32_t> v) {
    std::vector<uint8_t> b;
    for (uint32_t x : v) {
      uint8_t w[4];
      store_le32(w, x);
      b.insert(b.end(), w, w + 4);
    }
    return b;
  }
};

TEST_F(AddressTable, EveryItemKindMatchesOnlyItsAddresses) {
  Item(1, 2, U32s({A(192, 0, 2, 5), A(192, 0, 2, 6)}));
  Item(2, 1, U32s({A(192, 0, 2, 9)}));
  Item(3, 24, U32s({A(198, 51, 100, 0)}));
  auto start = U32s({A(203, 0, 113, 100)});
  std::vector<uint8_t> body = {0, 0, 10, 0};   // item offset 6: u16 count 10
  body.insert(body.end(), start.begin(), start.end());
  Item(4, 0, body);

  struct { uint32_t addr; bool hit; } cases[] = {
      {A(192, 0, 2, 5), true},   {A(192, 0, 2, 6), true},   {A(192, 0, 2, 7), false},
      {A(192, 0, 2, 9), true},   {A(198, 51, 100, 0), true}, {A(198, 51, 100, 255), true},
      {A(198, 51, 101, 0), false}, {A(203, 0, 113, 99), false}, {A(203, 0, 113, 100), true},
      {A(203, 0, 113, 109), true}, {A(203, 0, 113, 110), false},
  };
  for (auto &c : cases) {
    EXPECT_EQ(DynCfgMatches(dyn, c.addr), c.hit) << std::hex << c.addr;
    uint32_t i = Find(*t, dyn, 7, c.addr, false, true, 100);
    if (c.hit) {
      ASSERT_NE(i, kNotFound);
      EXPECT_EQ(t->e[i].kind, kTunnelled);
      EXPECT_EQ(t->e[i].expiry, kNever);
    } else {
      EXPECT_EQ(i, kNotFound);
    }
  }
}

TEST_F(AddressTable, PlainListAndBrokenItemsAreBounded) {
  store_le16(dyn + 4, kDynCfgPlain);
  store_le32(dyn + 16, A(192, 0, 2, 1));
  store_le32(dyn + 20, A(192, 0, 2, 2));
  store_le16(dyn + 6, 24);
  EXPECT_TRUE(DynCfgMatches(dyn, A(192, 0, 2, 2)));
  store_le16(dyn + 6, 20);   // second address outside the length
  EXPECT_FALSE(DynCfgMatches(dyn, A(192, 0, 2, 2)));

  memset(dyn, 0, sizeof dyn);
  end = 16;
  Item(1, 200, U32s({A(192, 0, 2, 1)}));   // count larger than the item
  EXPECT_TRUE(DynCfgMatches(dyn, A(192, 0, 2, 1)));
  store_le16(dyn + 16, 2);                        // item length below its header: walk ends
  EXPECT_FALSE(DynCfgMatches(dyn, A(192, 0, 2, 1)));
  store_le16(dyn + 6, 0xFFFF);                    // length beyond the image: cut to it
  store_le16(dyn + 16, 8);
  EXPECT_TRUE(DynCfgMatches(dyn, A(192, 0, 2, 1)));
}

TEST_F(AddressTable, UnknownAddressOnlyWhenConnected) {
  Item(3, 24, U32s({A(198, 51, 100, 0)}));
  EXPECT_EQ(Find(*t, dyn, 6, A(198, 51, 100, 1), false, true, 0), kNotFound);
  EXPECT_EQ(Find(*t, dyn, 0, A(198, 51, 100, 1), false, true, 0), kNotFound);
  EXPECT_EQ(Find(*t, dyn, 7, 0, false, true, 0), kNotFound);
  EXPECT_EQ(Find(*t, dyn, 7, 0xFFFFFFFF, false, true, 0), kNotFound);
  EXPECT_EQ(Used(*t), 0u);
}

TEST_F(AddressTable, LearntAddressGoesStaleUnlessLearning) {
  dyn[12] = kDynCfgLearn;
  uint32_t i = Find(*t, dyn, 7, A(192, 0, 2, 50), false, true, 1000);
  ASSERT_NE(i, kNotFound);
  EXPECT_EQ(t->e[i].kind, kLearnt);
  EXPECT_EQ(t->e[i].expiry, 1000u + 182);
  EXPECT_EQ(Find(*t, dyn, 7, A(192, 0, 2, 50), false, false, 1181), i);   // live
  dyn[12] = 0;
  EXPECT_EQ(Find(*t, dyn, 7, A(192, 0, 2, 50), false, false, 1182), kNotFound);   // stale
  EXPECT_EQ(Find(*t, dyn, 7, A(192, 0, 2, 50), true, false, 1182), i);            // refresh
  EXPECT_EQ(t->e[i].expiry, 1182u + 182);
  dyn[12] = kDynCfgLearn;
  EXPECT_EQ(Find(*t, dyn, 7, A(192, 0, 2, 50), false, false, 5000), i);   // stale, learning
  EXPECT_EQ(t->e[i].expiry, 5000u + 182);
  EXPECT_EQ(Find(*t, dyn, 7, A(192, 0, 2, 51), false, false, 5000), kNotFound);  // may not learn
}

TEST_F(AddressTable, FullTableEvictsOldestTunnelledOrLearnt) {
  for (uint32_t k = 0; k < kEntries; ++k) {
    uint8_t kind = k < 10 ? kGateway : kLearnt;
    ASSERT_EQ(Insert(*t, A(192, 0, 2, 0) + k + 1, kind, 100 + k), k);
  }
  EXPECT_EQ(Used(*t), kEntries);
  t->e[700].expiry = 5;    // oldest
  t->e[800].expiry = 5;    // tie: the first one goes
  uint32_t i = Insert(*t, A(203, 0, 113, 7), kLearnt, 9000);
  EXPECT_EQ(i, 700u);
  EXPECT_EQ(t->e[700].address, A(203, 0, 113, 7));
  EXPECT_EQ(t->e[700].expiry, 9000u + 182);
}

TEST_F(AddressTable, FullTableOfFixedKindsRefusesNewAddress) {
  for (uint32_t k = 0; k < kEntries; ++k) Insert(*t, k + 1, kExtraServer, 0);
  EXPECT_EQ(Insert(*t, 0xC0000201, kLearnt, 0), kNotFound);
  EXPECT_EQ(Insert(*t, 0, kGateway, 0), kNotFound);
}

TEST_F(AddressTable, InsertClearsEntryAndForgetAdapterKeepsOthers) {
  int a1, a2;
  uint32_t i = Insert(*t, A(192, 0, 2, 1), kGateway, 0);
  uint32_t j = Insert(*t, A(192, 0, 2, 2), kExtraServer, 0);
  t->e[i].adapter = &a1;
  t->e[i].link = 7;
  t->e[j].adapter = &a2;
  t->e[j].link = 8;
  ForgetAdapter(*t, &a1);
  EXPECT_EQ(t->e[i].adapter, nullptr);
  EXPECT_EQ(t->e[i].link, 0u);
  EXPECT_EQ(t->e[j].adapter, &a2);
  EXPECT_EQ(t->e[j].link, 8u);
}

}  // namespace
