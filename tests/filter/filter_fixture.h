// The filter loaded in-process on the host area's test host, with one bound,
// ready Ethernet adapter so that connection requests find an adapter, and
// framed requests as the service sends them.
#pragma once
#include <cstdint>
#include <vector>

namespace zor::filtertest {

// Loads the module and binds the adapter; unloads it again.
void Load();
void Unload();
// A framed request as the service sends it: header (magic, length field)
// and payload, in a buffer of room payload bytes.
struct Reply {
  int32_t answer;                // the dispatcher's result
  std::vector<uint8_t> buf;      // header and payload as the filter left them
  uint8_t state() const { return buf[2]; }
  int32_t status() const;
  uint32_t length() const;
  const uint8_t *payload() const { return buf.data() + 24; }
};
Reply Request(uint32_t code, const std::vector<uint8_t> &payload, uint32_t room = 18408,
              int64_t length_field = -1);

}  // namespace zor::filtertest
