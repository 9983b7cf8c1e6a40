#include "kernel/filter/white_lists.h"

#include "byte_order.h"
#include "drv_requests.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/wire_format.h"

extern "C" {
char *allowed_hosts[WL_MAX_HOSTS + 1];
uint32_t allowed_ips[WL_MAX_IPS];
}

namespace zor::wl {
namespace {

void FreeHosts(char **list) {
  for (uint32_t i = 0; i < WL_MAX_HOSTS && list[i]; ++i) MVFree(list[i]);
}

// The list's rules, for request 44 and the library operations alike: the
// number of addresses stored (the first 0 ends the list).
uint32_t StoredIps() {
  uint32_t used = 0;
  while (used < WL_MAX_IPS && allowed_ips[used] != 0) ++used;
  return used;
}

// Appends a to the `*used` addresses stored unless it is 0, already listed
// or the list is full: 1 when it was added. Lock 0 held.
uint32_t AddIp(uint32_t a, uint32_t *used) {
  if (a == 0 || *used >= WL_MAX_IPS) return 0;
  for (uint32_t k = 0; k < *used; ++k)
    if (allowed_ips[k] == a) return 0;
  allowed_ips[(*used)++] = a;
  return 1;
}

int32_t AddIps(const uint32_t *addresses, int32_t count, bool clear) {
  if (count < 0 || (!addresses && count > 0)) return -1;
  DrvFilterLock(FLT_LOCK_CORE);
  if (clear) memset(allowed_ips, 0, sizeof allowed_ips);
  uint32_t used = StoredIps(), added = 0;
  for (int32_t i = 0; i < count; ++i) added += AddIp(addresses[i], &used);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return (int32_t)added;
}

}  // namespace

int32_t SetHosts(const uint8_t *payload, uint32_t n) {
  char *fresh[WL_MAX_HOSTS + 1] = {};
  uint32_t count = 0;
  int32_t r = 0;
  DrvFilterLock(FLT_LOCK_CORE);   // the pool belongs to lock 0
  for (uint32_t pos = 0; count < WL_MAX_HOSTS && pos + 2 <= n;) {
    uint32_t len = load_le16(payload + pos);
    pos += 2;
    if (len > n - pos) break;
    uint32_t used = len < WL_MAX_HOST_LEN ? len : WL_MAX_HOST_LEN;
    char *name = (char *)MVAlloc(used + 1);
    if (!name) {
      r = DRV_NO_RESOURCE;
      break;
    }
    memcpy(name, payload + pos, used);
    name[used] = 0;
    fresh[count++] = name;
    pos += len;
  }
  if (r != 0) {
    FreeHosts(fresh);
  } else {
    char *old[WL_MAX_HOSTS + 1];
    memcpy(old, allowed_hosts, sizeof old);
    memcpy(allowed_hosts, fresh, sizeof fresh);
    memset(allowed_ips, 0, sizeof allowed_ips);
    FreeHosts(old);
  }
  DrvFilterUnLock(FLT_LOCK_CORE);
  return r;
}

int32_t SetIps(const uint8_t *payload, uint32_t count) {
  if (count > WL_MAX_IPS) return DRV_NO_RESOURCE;
  DrvFilterLock(FLT_LOCK_CORE);
  memset(allowed_ips, 0, sizeof allowed_ips);
  uint32_t used = 0;
  // A 0 in the request is an empty slot, not the end of the list.
  for (uint32_t i = 0; i < count; ++i) AddIp(load_le32(payload + 4 * i), &used);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return 0;
}

}  // namespace zor::wl

extern "C" {

int32_t AllowedIPsContains(uint32_t address) {
  if (address == 0) return 0;
  DrvFilterLock(FLT_LOCK_CORE);
  int32_t found = 0;
  for (uint32_t k = 0; k < WL_MAX_IPS && allowed_ips[k] != 0 && !found; ++k)
    found = allowed_ips[k] == address;
  DrvFilterUnLock(FLT_LOCK_CORE);
  return found;
}

int32_t SetAllowedIPs(const uint32_t *addresses, int32_t count) {
  return zor::wl::AddIps(addresses, count, true);
}

int32_t AppendAllowedIPs(const uint32_t *addresses, int32_t count) {
  return zor::wl::AddIps(addresses, count, false);
}

}  // extern "C"
