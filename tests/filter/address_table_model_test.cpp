// The address table against a deliberately simple model of it: random
// inserts, look-ups and adapter losses, compared entry by entry after every
// step. The seed is printed with every divergence so that a failure replays.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "byte_order.h"
#include "kernel/filter/address_table.h"
#include "kernel/filter/wire_format.h"

namespace {

using namespace zor::addr;

// What the table is meant to be: the used entries in insertion order; when
// all are taken, a new address replaces the learnt or tunnelled entry that
// expires first (the lowest index among equals). Each entry's life: learnt
// ones live kLearntLife ticks from their last refresh, the others forever.
struct Model {
  struct Item {
    uint32_t address;
    uint8_t kind;
    uint32_t expiry;
    void *adapter;
    uint32_t link;
  };
  std::vector<Item> items;

  uint32_t Insert(uint32_t address, uint8_t kind, uint32_t now) {
    if (address == 0) return kNotFound;
    const Item fresh{address, kind, kind == kLearnt ? now + kLearntLife : kNever, nullptr, 0};
    if (items.size() < kEntries) {
      items.push_back(fresh);
      return uint32_t(items.size() - 1);
    }
    uint32_t victim = kNotFound;
    for (uint32_t i = 0; i < items.size(); ++i) {
      const Item &e = items[i];
      const bool replaceable = e.kind == kTunnelled || e.kind == kLearnt;
      if (replaceable && e.expiry != kNever &&
          (victim == kNotFound || e.expiry < items[victim].expiry))
        victim = i;
    }
    if (victim != kNotFound) items[victim] = fresh;
    return victim;
  }

  // in_networks: the address lies in the gateway's tunnelled networks.
  uint32_t Find(bool in_networks, bool learning, uint8_t state, uint32_t address, bool refresh,
                bool may_learn, uint32_t now) {
    if (address == 0 || address == 0xFFFFFFFFu || state == 0) return kNotFound;
    for (uint32_t i = 0; i < items.size(); ++i) {
      Item &e = items[i];
      if (e.address != address) continue;
      if (e.expiry == kNever) return i;
      const bool live = now < e.expiry;
      if (!refresh && live) return i;
      if (!refresh && !learning) return kNotFound;  // stale, and nothing may renew it
      e.expiry = now + kLearntLife;
      return i;
    }
    if (state != 7) return kNotFound;
    if (in_networks) return Insert(address, kTunnelled, now);
    if (learning && may_learn) return Insert(address, kLearnt, now);
    return kNotFound;
  }

  void ForgetAdapter(void *adapter) {
    for (Item &e : items)
      if (e.adapter == adapter) {
        e.adapter = nullptr;
        e.link = 0;
      }
  }
};

constexpr uint32_t kNet(uint32_t a, uint32_t b, uint32_t c) { return a << 24 | b << 16 | c << 8; }
constexpr uint32_t kTunnelledNet = kNet(198, 51, 100);  // the gateway's network, /24

// The addresses the test draws from: the three documentation networks.
uint32_t random_address(std::mt19937 &rng) {
  static const uint32_t nets[] = {kNet(192, 0, 2), kTunnelledNet, kNet(203, 0, 113)};
  return nets[rng() % 3] | (rng() % 256);
}

::testing::AssertionResult SameTable(const Table &t, const Model &m) {
  if (Used(t) != m.items.size())
    return ::testing::AssertionFailure() << "used " << Used(t) << ", model " << m.items.size();
  for (uint32_t i = 0; i < m.items.size(); ++i) {
    const Entry &e = t.e[i];
    const Model::Item &x = m.items[i];
    if (e.address != x.address || e.kind != x.kind || e.expiry != x.expiry ||
        e.adapter != x.adapter || e.link != x.link)
      return ::testing::AssertionFailure()
             << "entry " << i << ": address " << std::hex << e.address << "/" << x.address
             << " kind " << int(e.kind) << "/" << int(x.kind) << " expiry " << e.expiry << "/"
             << x.expiry << " link " << e.link << "/" << x.link;
  }
  return ::testing::AssertionSuccess();
}

TEST(AddressTableModel, RandomOperationsMatchTheModel) {
  for (uint32_t seed : {1u, 2u, 3u, 20261210u}) {
    std::mt19937 rng(seed);
    auto t = std::make_unique<Table>();
    std::memset(t.get(), 0, sizeof(Table));
    Model m;
    // Typed configuration: the tunnelled /24, and the learning flag.
    uint8_t dyn[kDynCfgSize] = {};
    store_le16(dyn + 4, kDynCfgTyped);
    store_le16(dyn + 6, 24);
    store_le16(dyn + 16, 8);
    dyn[18] = 3;
    dyn[19] = 24;
    store_le32(dyn + 20, kTunnelledNet);
    int adapters[3];
    uint32_t now = 1000;
    for (int step = 0; step < 8000; ++step) {
      now += rng() % 40;
      const uint32_t address = random_address(rng);
      const uint32_t op = rng() % 100;
      uint32_t got = 0, want = 0;
      if (op < 30) {
        static const uint8_t kinds[] = {kBroadcast, kGateway, kExtraServer, kTunnelled, kLearnt,
                                        kLearnt};
        const uint8_t kind = kinds[rng() % 6];
        got = Insert(*t, address, kind, now);
        want = m.Insert(address, kind, now);
      } else if (op < 90) {
        if (rng() % 10 == 0) dyn[12] ^= kDynCfgLearn;
        static const uint8_t states[] = {0, 5, 7, 7, 7};
        const uint8_t state = states[rng() % 5];
        const bool refresh = rng() % 3 == 0, may_learn = rng() % 2 == 0;
        const bool in_networks = (address & 0xFFFFFF00u) == kTunnelledNet;
        got = Find(*t, dyn, state, address, refresh, may_learn, now);
        want = m.Find(in_networks, (dyn[12] & kDynCfgLearn) != 0, state, address, refresh,
                      may_learn, now);
      } else if (op < 97 && !m.items.empty()) {
        // The packet path notes the adapter an address was seen on.
        const uint32_t i = rng() % m.items.size();
        void *adapter = &adapters[rng() % 3];
        const uint32_t link = 1 + rng() % 1000;
        t->e[i].adapter = m.items[i].adapter = adapter;
        t->e[i].link = m.items[i].link = link;
      } else {
        void *adapter = &adapters[rng() % 3];
        ForgetAdapter(*t, adapter);
        m.ForgetAdapter(adapter);
      }
      ASSERT_EQ(got, want) << "seed " << seed << " step " << step << " op " << op;
      ASSERT_TRUE(SameTable(*t, m)) << "seed " << seed << " step " << step << " op " << op;
    }
    EXPECT_EQ(m.items.size(), kEntries) << "seed " << seed << ": the table never filled up";
  }
}

}  // namespace
