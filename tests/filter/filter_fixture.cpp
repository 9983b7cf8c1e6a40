#include "tests/filter/filter_fixture.h"

#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "drv_requests.h"
#include "kern_host.h"
#include "kernel/filter/filter_core.h"
#include "tests/host/test_host.h"

namespace zor::filtertest {
namespace {
uint8_t adapter_handle;
}

void Load() {
  ::testhost::reset();
  if (Zor_init_module() != 0) abort();
  const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
  Zor_DEVN_BindAdapter(&adapter_handle, "tap0", 0, 6, mac, 1500);
  Zor_DEVN_ChangeUPAdapter(&adapter_handle);
}

void Unload() {
  Zor_DEVN_UnBindAdapter(&adapter_handle);
  Zor_cleanup_module();
}

int32_t Reply::status() const {
  int32_t s;
  memcpy(&s, buf.data() + 12, 4);
  return s;
}

uint32_t Reply::length() const {
  uint32_t n;
  memcpy(&n, buf.data() + 20, 4);
  return n;
}

Reply Request(uint32_t code, const std::vector<uint8_t> &payload, uint32_t room,
              int64_t length_field) {
  Reply r;
  r.buf.assign(24 + room, 0);
  store_le16(&r.buf[0], DRV_REQUEST_MAGIC);
  uint32_t len = length_field < 0 ? (uint32_t)payload.size() : (uint32_t)length_field;
  memcpy(r.buf.data() + 20, &len, 4);
  if (!payload.empty())
    memcpy(r.buf.data() + 24, payload.data(), payload.size() < room ? payload.size() : room);
  r.answer = FilterGetInformation(code, r.buf.data(), (uint32_t)r.buf.size());
  return r;
}

}  // namespace zor::filtertest
