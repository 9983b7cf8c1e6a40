#include "tests/filter/daemon_records.h"

#include "crypto/crc32.h"
#include "crypto/gost3410.h"
#include "crypto/magma.h"

namespace zor::testrec {

std::vector<uint8_t> InitRecord(uint32_t gateway) {
  std::vector<uint8_t> r(692, 0);
  r[0] = 0x03;
  r[1] = 0x01;
  r[3] = 1;
  Put32(r, 8, gateway);
  Put32(r, 124, ~FCS32(r.data(), 124));
  Put32(r, 264, 0xb0ca0010u);
  r[290] = 1;
  memcpy(r.data() + 420, "client", 6);
  memcpy(r.data() + 564, "example.test", 12);
  return r;
}

std::vector<uint8_t> AuxRecord(bool no_certificate) {
  std::vector<uint8_t> r(172, 0);
  Put32(r, 0, 2);
  if (no_certificate) Put32(r, 4, 16);
  memcpy(r.data() + 8, "AAAAAA", 6);
  memcpy(r.data() + 40, "no_firmware", 11);
  memcpy(r.data() + 72, "1.30.3011", 9);
  memcpy(r.data() + 104, "1.18.3011", 9);
  if (no_certificate) {
    for (int i = 0; i < 32; ++i) r[136 + i] = (uint8_t)(0x40 + i);
    Put32(r, 168, 1);
  }
  return r;
}

std::vector<uint8_t> EphemeralRecord(const uint8_t priv[32]) {
  std::vector<uint8_t> r(124, 0);
  Put32(r, 4, 64);
  Put32(r, 12, 32);
  R3410_256_PubKey(R34101_SelectParams(1148), r.data() + 28, priv);
  memcpy(r.data() + 92, priv, 32);
  return r;
}

std::vector<uint8_t> KeyRecord(const uint8_t *block, uint32_t local_ip, uint16_t local_port) {
  std::vector<uint8_t> r(84, 0);
  Put32(r, 4, local_ip);
  memcpy(r.data() + 12, &local_port, 2);
  memcpy(r.data() + 16, block, 64);
  const uint32_t zero_key[8] = {};
  Put32(r, 80, ImPrefixMAGMA(zero_key, r.data() + 16, 64));
  return r;
}

}  // namespace zor::testrec
