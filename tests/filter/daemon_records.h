// The records the service daemon sends while it sets a connection up, built
// as the daemon builds them.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_order.h"

namespace zor::testrec {

inline void Put32(std::vector<uint8_t> &v, size_t at, uint32_t x) { store_le32(v.data() + at, x); }

// FilterInitRecord for a gateway (host-order IPv4).
std::vector<uint8_t> InitRecord(uint32_t gateway);
// The auxiliary record; flags bit 4 for profiles without a certificate.
std::vector<uint8_t> AuxRecord(bool no_certificate);
// The 124-byte ephemeral key record of a profile without a certificate.
std::vector<uint8_t> EphemeralRecord(const uint8_t priv[32]);
// The 84-byte key record of RQC_SETKEYS around a 64-byte key block.
std::vector<uint8_t> KeyRecord(const uint8_t *block, uint32_t local_ip, uint16_t local_port);

}  // namespace zor::testrec
