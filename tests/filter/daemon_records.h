// The records the service daemon sends while it sets a connection up, built
// as the daemon builds them.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace zor::testrec {

inline void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x) { memcpy(v.data() + at, &x, 4); }
inline uint32_t Get32(const uint8_t *p) {
  uint32_t x;
  memcpy(&x, p, 4);
  return x;
}

// FilterInitRecord for a gateway (host-order IPv4).
std::vector<uint8_t> InitRecord(uint32_t gateway);
// The auxiliary record; flags bit 4 for profiles without a certificate.
std::vector<uint8_t> AuxRecord(bool no_certificate);
// The 124-byte ephemeral key record of a profile without a certificate.
std::vector<uint8_t> EphemeralRecord(const uint8_t priv[32]);
// The 84-byte key record of RQC_SETKEYS around a 64-byte key block.
std::vector<uint8_t> KeyRecord(const uint8_t *block, uint32_t local_ip, uint16_t local_port);

}  // namespace zor::testrec
