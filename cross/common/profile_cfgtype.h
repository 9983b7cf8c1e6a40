#pragma once
// The 128-byte connection configuration record, little-endian, closed by a
// seal: the complement of FCS32 over bytes 0 to 123, stored in ch_fcs32, so
// that FCS32 over all 128 bytes gives FCS32_RESIDUE.
#include <stddef.h>
#include <stdint.h>

#include <bit>

static_assert(std::endian::native == std::endian::little, "cfgtype is stored little-endian");

constexpr uint16_t CFG_RECORD_VERSION = 0x0103;
constexpr uint32_t CFG_SEALED_BYTES = 124;
constexpr int CFG_SERVER_ADDRS = 28;

struct cfgtype {
  uint16_t ch_cfgver;
  uint8_t ch_features;
  uint8_t ch_flags;
  uint8_t ch_vpncard_packdisable;
  uint8_t ch_othercard_packdisable;
  uint16_t ch_align;
  uint32_t ch_veskipaddr;  // gateway IPv4 address
  uint32_t ch_serveripaddr[CFG_SERVER_ADDRS];
  uint32_t ch_fcs32;
};

static_assert(sizeof(cfgtype) == 128);
static_assert(offsetof(cfgtype, ch_align) == 6);
static_assert(offsetof(cfgtype, ch_veskipaddr) == 8);
static_assert(offsetof(cfgtype, ch_serveripaddr) == 12);
static_assert(offsetof(cfgtype, ch_fcs32) == CFG_SEALED_BYTES);

// Stores the seal of bytes 0 to 123 in ch_fcs32.
void SealCfgRecord(cfgtype* c);
