// The service's white lists that the packet path consults: host names whose
// resolved addresses may pass, and addresses that may pass. Both are
// replaced whole, under filter lock 0.
#pragma once
#include "kern_host.h"

constexpr uint32_t WL_MAX_HOSTS = 32;
constexpr uint32_t WL_MAX_HOST_LEN = 255;
constexpr uint32_t WL_MAX_IPS = 256;

extern "C" {
// NUL-terminated names from the memory pool; NULL ends the list.
extern char *allowed_hosts[WL_MAX_HOSTS + 1];
// Host-order addresses, filled from the front; the first 0 ends the list, no
// address stands twice and 0 is never stored.
extern uint32_t allowed_ips[WL_MAX_IPS];

// Operations on allowed_ips that the library offers (the packet path of this
// build calls none of them). Each takes lock 0: call them without it.
// 1 when address is listed; 0 for address 0 or one not listed.
int32_t AllowedIPsContains(uint32_t address);
// Clears the list, then adds each non-zero address not yet listed until 256
// are stored: how many were added; -1 for a negative count or a null array
// with a positive count (the list is then left as it was).
int32_t SetAllowedIPs(const uint32_t *addresses, int32_t count);
// The same without clearing, from the first free slot on: how many were
// added (0 when the list is full); -1 as for SetAllowedIPs.
int32_t AppendAllowedIPs(const uint32_t *addresses, int32_t count);
}

namespace zor::wl {
// Parses up to 32 entries {u16 length, bytes} of n bytes and swaps the new
// list in; allowed_ips is cleared. 0, or -4 when the pool has no room.
int32_t SetHosts(const uint8_t *payload, uint32_t n);
// Replaces allowed_ips with the non-zero, distinct addresses of the first
// count u32 values (the list ends at the first 0). -4 when count > 256.
int32_t SetIps(const uint8_t *payload, uint32_t count);
}  // namespace zor::wl
