#include "kernel/filter/gateway_config.h"

#include "byte_order.h"
#include "kern_host.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/wire_format.h"

namespace zor::gwcfg {
namespace {


constexpr uint32_t kKindDns = 0, kKindAddress = 1;

struct Writer {
  uint8_t *out;
  uint32_t cap, used;
  bool full;
  void Put(uint32_t address, uint32_t prefix, uint32_t kind) {
    if (cap - used < kEntrySize) {
      full = true;
      return;
    }
    store_le32(out + used, address);
    store_le32(out + used + 4, prefix);
    store_le32(out + used + 8, kind);
    used += kEntrySize;
  }
};

// A range start <= a < start + count as the fewest aligned networks.
void PutRange(Writer &w, uint64_t start, uint64_t count) {
  uint64_t end = start + count;
  while (start < end && !w.full) {
    uint32_t bits = 0;
    while (bits < 32 && (start & ((2ull << bits) - 1)) == 0 && start + (2ull << bits) <= end)
      ++bits;
    w.Put((uint32_t)start, 32 - bits, kKindAddress);
    start += 1ull << bits;
  }
}

void PutItem(Writer &w, const uint8_t *item, uint16_t len) {
  uint8_t type = item[2], n = item[3];
  switch (type) {
    case 1:
    case 2:
      for (uint32_t i = 0; i < n && 8 + 4 * i <= len; ++i)
        w.Put(load_le32(item + 4 + 4 * i), 32, type == 2 ? kKindDns : kKindAddress);
      break;
    case 3:
      if (len >= 8) w.Put(load_le32(item + 4), n > 32 ? 32 : n, kKindAddress);
      break;
    case 4:
      if (len >= 12) PutRange(w, load_le32(item + 8), load_le16(item + 6));
      break;
  }
}

void CopyField(uint8_t *dst, const uint8_t *src, uint32_t size) {
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
    for (uint32_t pos = addr::kDynCfgItems; pos + 4 <= end; pos += 4)
      w.Put(load_le32(d + pos), 32, kKindAddress);
  } else if (h->format == addr::kDynCfgTyped) {
    for (uint32_t pos = addr::kDynCfgItems; pos + 4 <= end;) {
      uint16_t len = load_le16(d + pos);
      if (len < 4 || pos + len > end) break;
      PutItem(w, d + pos, len);
      pos += len;
    }
  }
  return w.full ? kListTooLong : (int32_t)w.used;
}

void FillOther(uint8_t *out) {
  using namespace zor::tunnel;
  memset(out, 0, kOtherSize);
  const addr::DynCfgHead *dyn = addr::DynCfgOf(client.DynCfg);
  store_le32(out + 0, dyn->flags & 1);
  store_le32(out + 4, client.session_id);
  store_le32(out + 8, dyn->word);
  store_le32(out + 12, client.sock_addr);
  if (FilterAdapter *a = FilterGetVpnAdapter()) memcpy(out + 16, a->hardaddr, 6);
  for (int i = 0; i < 5; ++i) store_le32(out + 22 + 4 * i, client.granted[i]);
  store_le32(out + 42, load_le32(client.init_record + init::kGateway));
  out[46] = client.access_level;
  CopyField(out + 47, (const uint8_t *)client.tunnel_group, 21);
  CopyField(out + 68, client.init_record + init::kDomainName, 128);
  CopyField(out + 196, client.init_record + init::kHostName, 128);
}

}  // namespace zor::gwcfg
