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
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t a = load_le32(payload + 4 * i);
    if (a == 0) continue;   // an empty slot, not the end of the list
    bool present = false;
    for (uint32_t k = 0; k < used && !present; ++k) present = allowed_ips[k] == a;
    if (!present) allowed_ips[used++] = a;
  }
  DrvFilterUnLock(FLT_LOCK_CORE);
  return 0;
}

}  // namespace zor::wl
