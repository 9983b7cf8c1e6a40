#include "kernel/filter/address_table.h"

#include "byte_order.h"
#include "kern_host.h"
#include "kernel/filter/wire_format.h"

namespace zor::addr {
namespace {

bool PrefixMatch(uint32_t net, uint8_t bits, uint32_t address) {
  if (bits == 0) return true;
  if (bits >= 32) return net == address;
  uint32_t mask = ~0u << (32 - bits);
  return (net & mask) == (address & mask);
}

// One typed item; false when it does not match.
bool ItemMatches(const uint8_t *item, uint16_t len, uint32_t address) {
  const DynCfgItem *h = ItemAs<DynCfgItem>(item);
  switch (h->type) {
    case kItemAddresses:
    case kItemDns:
      for (uint32_t i = 0; i < h->n && ItemHolds(len, i); ++i)
        if (ItemAddress(item, i) == address) return true;
      return false;
    case kItemPrefix:
      return len >= sizeof(DynCfgPrefix) &&
             PrefixMatch(ItemAs<DynCfgPrefix>(item)->network, h->n, address);
    case kItemRange: {
      if (len < sizeof(DynCfgRange)) return false;
      const DynCfgRange *r = ItemAs<DynCfgRange>(item);
      uint64_t start = r->start, count = r->count;
      return start <= address && address < start + count;
    }
    default:
      return false;
  }
}

bool TypedMatches(const uint8_t *d, uint32_t end, uint32_t address) {
  for (uint32_t pos = kDynCfgItems; pos + sizeof(DynCfgItem) <= end;) {
    uint16_t len = ItemAs<DynCfgItem>(d + pos)->length;
    // 0 ends; a broken item ends too
    if (len < sizeof(DynCfgItem) || pos + len > end) return false;
    if (ItemMatches(d + pos, len, address)) return true;
    pos += len;
  }
  return false;
}

bool PlainMatches(const uint8_t *d, uint32_t end, uint32_t address) {
  for (uint32_t pos = kDynCfgItems; pos + kAddrSize <= end; pos += kAddrSize)
    if (load_le32(d + pos) == address) return true;
  return false;
}

bool Live(const Entry &e, uint32_t now) { return e.expiry == kNever || now < e.expiry; }

}  // namespace

bool DynCfgMatches(const uint8_t *d, uint32_t address) {
  uint32_t end = DynCfgOf(d)->length;
  if (end > kDynCfgSize) end = kDynCfgSize;
  switch (DynCfgOf(d)->format) {
    case kDynCfgPlain: return PlainMatches(d, end, address);
    case kDynCfgTyped: return TypedMatches(d, end, address);
    default: return false;
  }
}

uint32_t Used(const Table &t) {
  uint32_t n = 0;
  while (n < kEntries && t.e[n].address != 0) ++n;
  return n;
}

uint32_t Insert(Table &t, uint32_t address, uint8_t kind, uint32_t now) {
  if (address == 0) return kNotFound;
  uint32_t i = Used(t);
  if (i == kEntries) {
    i = kNotFound;
    uint32_t best = kNever;
    for (uint32_t k = 0; k < kEntries; ++k) {
      const Entry &e = t.e[k];
      if ((e.kind == kTunnelled || e.kind == kLearnt) && e.expiry < best) {
        best = e.expiry;
        i = k;
      }
    }
    if (i == kNotFound) return kNotFound;
  }
  Entry &e = t.e[i];
  memset(&e, 0, sizeof e);
  e.address = address;
  e.kind = kind;
  e.expiry = kind == kLearnt ? now + kLearntLife : kNever;
  return i;
}

uint32_t Find(Table &t, const uint8_t *dyncfg, uint8_t state, uint32_t address, bool refresh,
              bool may_learn, uint32_t now) {
  if (address == 0 || address == kBroadcastAddress || state == kClientIdle) return kNotFound;
  bool learn = (DynCfgOf(dyncfg)->flags & kDynCfgLearn) != 0;
  for (uint32_t i = 0; i < kEntries && t.e[i].address != 0; ++i) {
    Entry &e = t.e[i];
    if (e.address != address) continue;
    if (e.expiry == kNever) return i;
    if (!refresh && Live(e, now)) return i;
    if (!refresh && !learn) return kNotFound;
    e.expiry = now + kLearntLife;
    return i;
  }
  if (state != kClientConnected) return kNotFound;
  if (DynCfgMatches(dyncfg, address)) return Insert(t, address, kTunnelled, now);
  if (learn && may_learn) return Insert(t, address, kLearnt, now);
  return kNotFound;
}

void ForgetAdapter(Table &t, void *adapter) {
  for (uint32_t i = 0; i < kEntries && t.e[i].address != 0; ++i) {
    if (t.e[i].adapter == adapter) {
      t.e[i].adapter = nullptr;
      t.e[i].link = 0;
    }
  }
}

}  // namespace zor::addr
