// The firewall's session table against a deliberately simple model of it:
// random additions, look-ups, removals, close-by-timeout listings and
// expiries, compared session by session after every step. The seed is
// printed with every divergence so that a failure replays.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "kernel/filter/firewall_sessions.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

using Mac = std::array<uint8_t, 6>;
using Data = std::array<uint8_t, FW_DATA_SIZE>;

// A session as the model keeps it: the fields a caller may rely on.
struct Record {
  Mac mac1{}, mac2{};
  uint32_t addr1 = 0, addr2 = 0;
  uint8_t proto = 0, opening = 0, closemode = 0, tunnel = 0;
  FilterAdapter *adapter = nullptr;
  Data data{};
  uint64_t expiry = 0;  // 0: not listed for closing
  FirewallRejectCallback reject = nullptr;
  bool operator==(const Record &) const = default;
};

std::string Describe(const Record &r) {
  std::ostringstream o;
  o << std::hex << "addr " << r.addr1 << ">" << r.addr2 << " proto " << int(r.proto) << " opening "
    << int(r.opening) << " tunnel " << int(r.tunnel) << " closemode " << int(r.closemode)
    << " expiry " << r.expiry << " mac1 " << int(r.mac1[5]) << " mac2 " << int(r.mac2[5]);
  return o.str();
}

Record RecordOf(const FirewallSession &s) {
  Record r;
  std::memcpy(r.mac1.data(), s.mac1, 6);
  std::memcpy(r.mac2.data(), s.mac2, 6);
  r.addr1 = s.addr1;
  r.addr2 = s.addr2;
  r.proto = s.proto;
  r.opening = s.opening;
  r.closemode = s.closemode;
  r.tunnel = s.tunnel;
  r.adapter = s.adapter;
  std::memcpy(r.data.data(), s.data, FW_DATA_SIZE);
  r.expiry = s.expiry;
  r.reject = s.reject;
  return r;
}

// What the table is meant to be: a set of sessions, each stored with the
// local end first. A look-up takes, of the sessions that match, the one
// added or found last; a listed session closes once the tick reaches its
// expiry, its callback running when its close mode is 1.
struct Model {
  struct Entry {
    Record r;
    uint64_t touched;  // when it was added or last found
  };
  std::map<FirewallSession *, Entry> sessions;
  std::vector<FirewallSession *> rejected;
  uint64_t clock = 0;
  bool enabled = true;

  static void Order(uint32_t outgoing, const uint8_t *&mac_a, const uint8_t *&mac_b, uint32_t &a,
                    uint32_t &b) {
    if (outgoing) return;
    std::swap(mac_a, mac_b);
    std::swap(a, b);
  }

  Record Added(uint32_t tunnel, FilterAdapter *adapter, const uint8_t *mac_a, const uint8_t *mac_b,
               uint32_t a, uint32_t b, uint8_t proto, const uint8_t *data, uint32_t datalen,
               FirewallRejectCallback reject, uint32_t outgoing) const {
    Order(outgoing, mac_a, mac_b, a, b);
    Record r;
    if (mac_a) std::memcpy(r.mac1.data(), mac_a, 6);
    if (mac_b) std::memcpy(r.mac2.data(), mac_b, 6);
    r.addr1 = a;
    r.addr2 = b;
    r.proto = proto;
    r.opening = outgoing ? 1 : 0;
    r.tunnel = uint8_t(tunnel);
    r.adapter = adapter;
    r.reject = reject;
    if (data) std::memcpy(r.data.data(), data, datalen);
    return r;
  }

  FirewallSession *Find(const uint8_t *mac_a, const uint8_t *mac_b, uint32_t a, uint32_t b,
                        uint8_t proto, const uint8_t *data, uint32_t datalen, uint32_t outgoing) {
    if (!enabled || (data && datalen > FW_DATA_SIZE)) return nullptr;
    Order(outgoing, mac_a, mac_b, a, b);
    FirewallSession *best = nullptr;
    for (auto &[ptr, e] : sessions) {
      const Record &r = e.r;
      const bool same = r.addr1 == a && r.addr2 == b && r.proto == proto &&
                        (!data || !datalen || std::memcmp(r.data.data(), data, datalen) == 0);
      if (same && (!best || e.touched > sessions[best].touched)) best = ptr;
    }
    if (!best) return nullptr;
    Entry &e = sessions[best];
    e.touched = ++clock;
    static const Mac zero{};
    if (mac_a && std::memcmp(mac_a, zero.data(), 6)) std::memcpy(e.r.mac1.data(), mac_a, 6);
    if (mac_b && std::memcmp(mac_b, zero.data(), 6)) std::memcpy(e.r.mac2.data(), mac_b, 6);
    return best;
  }

  void Close(FirewallSession *s) {
    const Record &r = sessions[s].r;
    if (r.reject && (r.expiry == 0 || r.closemode == 1)) rejected.push_back(s);
    sessions.erase(s);
  }

  template <typename Pred>
  void RemoveWhere(Pred pred) {
    for (auto i = sessions.begin(); i != sessions.end();)
      i = pred(i->second.r) ? sessions.erase(i) : std::next(i);
  }
};

// The table's reject callbacks, in the order they ran.
std::vector<FirewallSession *> g_rejected;
uint32_t Reject(FirewallSession *s, uint32_t) {
  g_rejected.push_back(s);
  return 0;
}

void Collect(FirewallSession *s, void *ctx) {
  (*static_cast<std::map<FirewallSession *, Record> *>(ctx))[s] = RecordOf(*s);
}

::testing::AssertionResult SameTable(Model &m) {
  std::map<FirewallSession *, Record> table;
  FIREWALL_ForEachSession(Collect, &table);
  if (table.size() != m.sessions.size())
    return ::testing::AssertionFailure() << table.size() << " sessions, model " << m.sessions.size();
  for (auto &[ptr, r] : table) {
    auto it = m.sessions.find(ptr);
    if (it == m.sessions.end())
      return ::testing::AssertionFailure() << "session not in the model: " << Describe(r);
    if (!(it->second.r == r))
      return ::testing::AssertionFailure()
             << "session differs:\n  table " << Describe(r) << "\n  model " << Describe(it->second.r);
  }
  uint32_t info[4];
  FIREWALL_GetInformation(info);
  if (info[0] != m.sessions.size())
    return ::testing::AssertionFailure() << "count " << info[0] << ", model " << m.sessions.size();
  std::vector<FirewallSession *> got = g_rejected, want = m.rejected;
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  if (got != want)
    return ::testing::AssertionFailure() << got.size() << " callbacks ran, model " << want.size();
  g_rejected.clear();
  m.rejected.clear();
  return ::testing::AssertionSuccess();
}

// Random ends drawn from a few documentation addresses (network order, as
// in the packet), so that sessions share ends, buckets and whole keys.
struct Draw {
  std::mt19937 rng;
  uint32_t Pick(uint32_t n) { return uint32_t(rng() % n); }
  bool Chance(uint32_t percent) { return Pick(100) < percent; }
  uint32_t Address() {
    static const uint32_t addrs[] = {0x0A7100CBu, 0x0B7100CBu, 0x056433C6u,
                                     0x060200C0u, 0x070200C0u, 0};
    return addrs[Pick(6)];
  }
  uint8_t Proto() {
    static const uint8_t protos[] = {6, 6, 17, 1, 0};
    return protos[Pick(5)];
  }
  Mac MacAddr() {
    Mac m{};
    if (!Chance(20)) m = {0x02, 0, 0, 0, 0, uint8_t(1 + Pick(4))};
    return m;
  }
  // Data bytes from a small alphabet so that prefixes often agree.
  std::vector<uint8_t> Bytes(uint32_t n) {
    std::vector<uint8_t> d(n);
    for (auto &x : d) x = uint8_t(Pick(2));
    return d;
  }
};

class FirewallSessionsModel : public ::testing::Test {
 protected:
  void TearDown() override { FIREWALL_Enable(1); }

  // One random operation on both, then the whole table compared.
  ::testing::AssertionResult Step(Draw &d, Model &m);

  // Two adapters: the table only compares them, never looks inside.
  char adapter_tokens[2] = {};
  FilterAdapter *adapters[2] = {reinterpret_cast<FilterAdapter *>(&adapter_tokens[0]),
                                reinterpret_cast<FilterAdapter *>(&adapter_tokens[1])};
  Harness h;
};

::testing::AssertionResult FirewallSessionsModel::Step(Draw &d, Model &m) {
  auto live = [&]() -> FirewallSession * {
    if (m.sessions.empty()) return nullptr;
    return std::next(m.sessions.begin(), d.Pick(uint32_t(m.sessions.size())))->first;
  };
  FilterAdapter *adapter = d.Chance(10) ? nullptr : adapters[d.Pick(2)];
  const uint32_t tunnel = d.Pick(3);
  uint32_t op = d.Pick(100);
  // The operations on many sessions at once are rarer, so that the table
  // grows past one block between them.
  if (op >= 93 && !d.Chance(2)) op = d.Pick(93);
  if (op < 35) {
    const Mac ma = d.MacAddr(), mb = d.MacAddr();
    const uint32_t a = d.Address(), b = d.Address(), outgoing = d.Pick(2), flag = d.Pick(2);
    const uint8_t proto = d.Proto();
    const uint32_t datalen = d.Chance(5) ? FW_DATA_SIZE + 1 : d.Pick(FW_DATA_SIZE + 1);
    const std::vector<uint8_t> data = d.Bytes(datalen);
    const uint8_t *dp = d.Chance(20) ? nullptr : data.data();
    FirewallRejectCallback reject = d.Chance(70) ? Reject : nullptr;
    FirewallSession *s = FIREWALL_AddNewSession(flag, adapter, ma.data(), mb.data(), a, b, proto,
                                                dp, datalen, reject, outgoing);
    const bool refused = !m.enabled || (dp && datalen > FW_DATA_SIZE);
    if (refused != (s == nullptr))
      return ::testing::AssertionFailure() << "add: refused " << (s == nullptr) << ", model " << refused;
    if (s) {
      if (m.sessions.count(s)) return ::testing::AssertionFailure() << "add: a live record again";
      m.sessions[s] = {m.Added(flag, adapter, ma.data(), mb.data(), a, b, proto, dp, datalen,
                               reject, outgoing),
                       ++m.clock};
    }
  } else if (op < 60) {
    // Often the ends and a data prefix of a session that exists.
    const Mac ma = d.MacAddr(), mb = d.MacAddr();
    uint32_t a = d.Address(), b = d.Address();
    uint8_t proto = d.Proto();
    uint32_t datalen = d.Pick(FW_DATA_SIZE + 2);
    std::vector<uint8_t> data = d.Bytes(datalen);
    const uint32_t outgoing = d.Pick(2);
    if (FirewallSession *s = live(); s && d.Chance(60)) {
      const Record &r = m.sessions[s].r;
      a = outgoing ? r.addr1 : r.addr2;
      b = outgoing ? r.addr2 : r.addr1;
      proto = r.proto;
      datalen = std::min<uint32_t>(datalen, FW_DATA_SIZE);
      std::copy(r.data.begin(), r.data.begin() + datalen, data.begin());
      if (d.Chance(20) && datalen) data[d.Pick(datalen)] ^= 1;
    }
    const uint8_t *dp = d.Chance(20) ? nullptr : data.data();
    FirewallSession *got =
        FIREWALL_FindSession(ma.data(), mb.data(), a, b, proto, dp, datalen, outgoing);
    FirewallSession *want = m.Find(ma.data(), mb.data(), a, b, proto, dp, datalen, outgoing);
    if (got != want) return ::testing::AssertionFailure() << "find: another session";
  } else if (op < 64) {
    FirewallSession *s = live();
    if (!s) return ::testing::AssertionSuccess();
    if (FIREWALL_RemoveSession(s) != (m.enabled ? 0u : 1u))
      return ::testing::AssertionFailure() << "remove: result";
    if (m.enabled) m.sessions.erase(s);
  } else if (op < 74) {
    FirewallSession *s = live();
    if (!s) return ::testing::AssertionSuccess();
    const uint64_t ticks = d.Chance(10) ? 0 : 1 + d.Pick(300);
    const uint8_t mode = uint8_t(d.Pick(2));
    const bool done = m.enabled && ticks;
    if (FIREWALL_AddForCloseByTimeout(s, ticks, mode) != (done ? 0u : 1u))
      return ::testing::AssertionFailure() << "list for closing: result";
    if (done) {
      m.sessions[s].r.expiry = fw_curtick + ticks;
      m.sessions[s].r.closemode = mode;
    }
  } else if (op < 78) {
    FirewallSession *s = live();
    if (!s) return ::testing::AssertionSuccess();
    if (FIREWALL_DeleteFromCloseByTimeout(s) != (m.enabled ? 0u : 1u))
      return ::testing::AssertionFailure() << "unlist: result";
    if (m.enabled) m.sessions[s].r.expiry = m.sessions[s].r.closemode = 0;
  } else if (op < 90) {
    fw_curtick += d.Pick(60);
    FIREWALL_CheckForClosedSessionsByTimeout();
    if (m.enabled) {
      std::vector<FirewallSession *> due;
      for (auto &[ptr, e] : m.sessions)
        if (e.r.expiry && e.r.expiry <= fw_curtick) due.push_back(ptr);
      for (FirewallSession *s : due) m.Close(s);
    }
  } else if (op < 93) {
    FirewallSession *s = live();
    if (!s) return ::testing::AssertionSuccess();
    FIREWALL_CloseSession(s, 0);
    m.Close(s);
  } else if (op < 95) {
    if (FIREWALL_RemoveAllSessions(tunnel) != (m.enabled ? 0u : 1u))
      return ::testing::AssertionFailure() << "remove all: result";
    if (m.enabled) m.RemoveWhere([&](const Record &r) { return tunnel == 2 || r.tunnel == tunnel; });
  } else if (op < 97) {
    if (FIREWALL_RemoveAllSessionsByAdapter(adapter, tunnel) != (m.enabled ? 0u : 1u))
      return ::testing::AssertionFailure() << "remove by adapter: result";
    if (m.enabled)
      m.RemoveWhere([&](const Record &r) {
        return r.adapter == adapter && (tunnel == 2 || r.tunnel == tunnel);
      });
  } else if (op < 99) {
    if (FIREWALL_RemoveAllINTCPSessions(tunnel) != (m.enabled ? 0u : 1u))
      return ::testing::AssertionFailure() << "remove TCP: result";
    if (m.enabled)
      m.RemoveWhere([&](const Record &r) { return r.proto == 6 && (tunnel == 2 || r.tunnel == tunnel); });
  } else {
    // Off, or back on (which starts the table afresh).
    const bool on = !m.enabled;
    if (FIREWALL_Enable(on) != (m.enabled ? 1u : 0u))
      return ::testing::AssertionFailure() << "enable: previous flag";
    if (on) m.sessions.clear();
    m.enabled = on;
  }
  return SameTable(m);
}

TEST_F(FirewallSessionsModel, RandomOperationsMatchTheModel) {
  for (uint32_t seed : {1u, 2u, 3u, 20261210u}) {
    FIREWALL_Enable(1);
    ASSERT_EQ(FIREWALL_RemoveAllSessions(2), 0u);
    fw_curtick = 0;
    g_rejected.clear();
    Draw d{std::mt19937(seed)};
    Model m;
    // Past two blocks, emptied blocks are given back: that path runs too.
    uint32_t most_blocks = 0;
    for (int step = 0; step < 8000; ++step) {
      ASSERT_TRUE(Step(d, m)) << "seed " << seed << " step " << step;
      most_blocks = std::max(most_blocks, FIREWALL_BlockCount());
    }
    EXPECT_GT(most_blocks, 2u) << "seed " << seed << ": the table never grew past two blocks";
  }
}

}  // namespace
}  // namespace pp
