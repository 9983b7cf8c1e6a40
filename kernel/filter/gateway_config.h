// The gateway's configuration as the service reads it back while connected:
// the tunnelled networks as 12-byte entries {u32 address, u32 prefix length,
// u32 kind} (kind 0 DNS server, 1 address or network) and the 324-byte
// veskcfgothertype record.
#pragma once
#include <stdint.h>

#include "drv_payloads.h"

namespace zor::gwcfg {

constexpr uint32_t kEntrySize = 12;
constexpr uint32_t kEntryAddress = 0, kEntryPrefix = 4, kEntryKind = 8;   // u32 fields
constexpr uint32_t kOtherSize = sizeof(DrvVeskCfgOther);

// Writes the entries of dyncfg to out (cap bytes). Their byte count, or
// kListTooLong when they do not fit.
constexpr int32_t kListTooLong = -1;
int32_t ListEntries(const uint8_t *dyncfg, uint8_t *out, uint32_t cap);

// Fills the 324-byte record from the connected client record.
void FillOther(uint8_t *out);

}  // namespace zor::gwcfg
