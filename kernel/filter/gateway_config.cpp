#include "kernel/filter/gateway_config.h"

#include "byte_order.h"
#include "kern_host.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/wire_format.h"

namespace zor::gwcfg {
namespace {

constexpr uint32_t kKindDns = 0, kKindAddress = 1;
constexpr uint32_t kHostBits = 32;   // the prefix length of one address

struct Writer {
  uint8_t *out;
  uint32_t cap, used;
  bool full;
  void Put(uint32_t address, uint32_t prefix, uint32_t kind) {
    if (cap - used < kEntrySize) {
      full = true;
      return;
    }
    store_le32(out + used + kEntryAddress, address);
    store_le32(out + used + kEntryPrefix, prefix);
    store_le32(out + used + kEntryKind, kind);
    used += kEntrySize;
  }
};

// A range start <= a < start + count as the fewest aligned networks.
void PutRange(Writer &w, uint64_t start, uint64_t count) {
  uint64_t end = start + count;
  while (start < end && !w.full) {
    uint32_t bits = 0;
    while (bits < kHostBits && (start & ((2ull << bits) - 1)) == 0 && start + (2ull << bits) <= end)
      ++bits;
    w.Put((uint32_t)start, kHostBits - bits, kKindAddress);
    start += 1ull << bits;
  }
}

void PutItem(Writer &w, const uint8_t *item, uint16_t len) {
  using namespace zor::addr;
  const DynCfgItem *h = ItemAs<DynCfgItem>(item);
  switch (h->type) {
    case kItemAddresses:
    case kItemDns:
      for (uint32_t i = 0; i < h->n && ItemHolds(len, i); ++i)
        w.Put(ItemAddress(item, i), kHostBits, h->type == kItemDns ? kKindDns : kKindAddress);
      break;
    case kItemPrefix:
      if (len >= sizeof(DynCfgPrefix))
        w.Put(ItemAs<DynCfgPrefix>(item)->network, h->n > kHostBits ? kHostBits : h->n,
              kKindAddress);
      break;
    case kItemRange:
      if (len >= sizeof(DynCfgRange))
        PutRange(w, ItemAs<DynCfgRange>(item)->start, ItemAs<DynCfgRange>(item)->count);
      break;
  }
}

void CopyField(char *dst, const void *src, uint32_t size) {
  memcpy(dst, src, size);
  dst[size - 1] = 0;
}

}  // namespace

int32_t ListEntries(const uint8_t *d, uint8_t *out, uint32_t cap) {
  Writer w{out, cap, 0, false};
  const addr::DynCfgHead *h = addr::DynCfgOf(d);
  uint32_t end = h->length;
  if (end > addr::kDynCfgSize) end = addr::kDynCfgSize;
  if (h->format == addr::kDynCfgPlain) {
    for (uint32_t pos = addr::kDynCfgItems; pos + addr::kAddrSize <= end; pos += addr::kAddrSize)
      w.Put(load_le32(d + pos), kHostBits, kKindAddress);
  } else if (h->format == addr::kDynCfgTyped) {
    for (uint32_t pos = addr::kDynCfgItems; pos + sizeof(addr::DynCfgItem) <= end;) {
      uint16_t len = addr::ItemAs<addr::DynCfgItem>(d + pos)->length;
      if (len < sizeof(addr::DynCfgItem) || pos + len > end) break;
      PutItem(w, d + pos, len);
      pos += len;
    }
  }
  return w.full ? kListTooLong : (int32_t)w.used;
}

void FillOther(uint8_t *out) {
  using namespace zor::tunnel;
  auto *o = reinterpret_cast<DrvVeskCfgOther *>(out);
  memset(o, 0, sizeof *o);
  const addr::DynCfgHead *dyn = addr::DynCfgOf(client.DynCfg);
  o->all_through_gateway = dyn->flags & 1;
  o->session_id = client.session_id;
  o->local_flags = dyn->word;
  o->tunnel_addr = client.sock_addr;
  if (FilterAdapter *a = FilterGetVpnAdapter())
    memcpy(o->adapter_mac, a->hardaddr, sizeof o->adapter_mac);
  for (int i = 0; i < 5; ++i) o->granted[i] = client.granted[i];
  o->gateway_addr = load_le32(client.init_record + init::kGateway);
  o->access_level = client.access_level;
  CopyField(o->tunnel_group, client.tunnel_group, sizeof o->tunnel_group);
  CopyField(o->domain_name, client.init_record + init::kDomainName, sizeof o->domain_name);
  CopyField(o->host_name, client.init_record + init::kHostName, sizeof o->host_name);
}

}  // namespace zor::gwcfg
