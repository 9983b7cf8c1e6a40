// The tunnel client's address table: the 2,048 addresses the filter treats as
// belonging to the tunnel (broadcast, gateway, extra servers, the gateway's
// tunnelled networks, addresses learnt on the way). Addresses are host-order
// IPv4 values. The used entries stand together from the first; the first
// entry with address 0 ends every walk.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "byte_order.h"

namespace zor::addr {

constexpr uint32_t kEntries = 2048;
constexpr uint32_t kNotFound = 0xFFFFFFFFu;
constexpr uint32_t kNever = 0xFFFFFFFFu;
constexpr uint32_t kLearntLife = 182;   // ticks (10 s)

enum Kind : uint8_t {
  kBroadcast = 1, kGateway = 2, kExtraServer = 3, kTunnelled = 4, kLearnt = 5,
};

struct Entry {
  uint32_t expiry;      // tick after which the entry is stale; kNever
  uint32_t link;        // cleared with the adapter reference
  void *adapter;        // adapter the address was seen on
  uint32_t address;     // 0 = free
  uint8_t kind;
  uint8_t pad[3];
  uint8_t data[64];     // packet path's per-address data; bytes 0..15 statistics
  uint8_t reserved[8];
};
static_assert(sizeof(Entry) == 96, "address table entry is 96 bytes");
constexpr size_t kStatsSize = 16;
constexpr size_t kClientStatsSize = 72;   // what RQC_GETSTAT returns of an entry

// The gateway's dynamic configuration image (TLV 20 of the SYN OKF): this
// head, then the tunnelled networks (u32 addresses in the plain format,
// u16-length items in the typed one). Little-endian.
struct __attribute__((packed, may_alias)) DynCfgHead {
  uint32_t imitation;   // over the image with this field zero
  uint16_t format;      // kDynCfgPlain or kDynCfgTyped
  uint16_t length;      // bytes of the image
  uint32_t word;        // handed to the service (RQC_GETVESKCFG_OTHER)
  uint8_t flags;        // kDynCfgLearn, bit 0 also: block unknown far ends
  uint8_t dir_flags1;   // merged into the client's direction flags
  uint8_t dir_flags2;
  uint8_t reserved;
};
static_assert(sizeof(DynCfgHead) == 16, "the configuration head is 16 bytes");
inline const DynCfgHead *DynCfgOf(const uint8_t *d) {
  return reinterpret_cast<const DynCfgHead *>(d);
}
constexpr uint32_t kDynCfgSize = 1040;
constexpr uint32_t kDynCfgItems = sizeof(DynCfgHead);   // where the networks start
constexpr uint16_t kDynCfgPlain = 0x0110;
constexpr uint16_t kDynCfgTyped = 0x0300;
constexpr uint8_t kDynCfgLearn = 0x01;
constexpr uint32_t kAddrSize = 4;   // one IPv4 address (the plain format's entry)

// A typed item: this head, then its body.
struct __attribute__((packed, may_alias)) DynCfgItem {
  uint16_t length;   // of the whole item; below the head ends the list
  uint8_t type;      // DynCfgItemType
  uint8_t n;         // addresses, or the prefix length
};
static_assert(sizeof(DynCfgItem) == 4, "an item head is 4 bytes");
enum DynCfgItemType : uint8_t {
  kItemAddresses = 1,   // n u32 addresses
  kItemDns = 2,         // n u32 DNS server addresses
  kItemPrefix = 3,      // one u32 network of n bits
  kItemRange = 4,       // DynCfgRange
};
struct __attribute__((packed, may_alias)) DynCfgPrefix {
  DynCfgItem h;
  uint32_t network;
};
static_assert(sizeof(DynCfgPrefix) == 8, "a prefix item is 8 bytes");
struct __attribute__((packed, may_alias)) DynCfgRange {
  DynCfgItem h;
  uint16_t unread;
  uint16_t count;   // addresses from start on
  uint32_t start;
};
static_assert(sizeof(DynCfgRange) == 12 && offsetof(DynCfgRange, count) == 6,
              "a range item is 12 bytes, its count at 6");
template <typename Item>
inline const Item *ItemAs(const uint8_t *item) {
  return reinterpret_cast<const Item *>(item);
}
// The u32 address i of an address or DNS item.
inline uint32_t ItemAddress(const uint8_t *item, uint32_t i) {
  return load_le32(item + sizeof(DynCfgItem) + kAddrSize * i);
}
// True when address i of the item lies within its len bytes.
inline bool ItemHolds(uint16_t len, uint32_t i) {
  return sizeof(DynCfgItem) + kAddrSize * (i + 1) <= len;
}

// True when the address falls in the tunnelled networks that dyncfg lists.
bool DynCfgMatches(const uint8_t *dyncfg, uint32_t address);

struct Table {
  Entry e[kEntries];
};

// Number of used entries (up to the first free one).
uint32_t Used(const Table &t);
// Takes the first free entry; when full, replaces the kind 4/5 entry with
// the smallest expiry below kNever. Index or kNotFound.
uint32_t Insert(Table &t, uint32_t address, uint8_t kind, uint32_t now);
// The client states the look-up tells apart (the client record's kIdle and
// kConnected).
constexpr uint8_t kClientIdle = 0, kClientConnected = 7;
constexpr uint32_t kBroadcastAddress = 0xFFFFFFFFu;
// The look-up of the packet path: state is the client's connection state.
uint32_t Find(Table &t, const uint8_t *dyncfg, uint8_t state, uint32_t address, bool refresh,
              bool may_learn, uint32_t now);
// Every entry that refers to adapter loses the reference and its link word.
void ForgetAdapter(Table &t, void *adapter);

}  // namespace zor::addr
