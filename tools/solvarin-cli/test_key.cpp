#include "tools/solvarin-cli/test_key.h"

#include <cstdint>

#include "crypto/gost3410.h"

const char kTestSubject[] = "CN=solvarin-cli test,OU=tests,DC=example";

namespace {

const uint8_t kTestPrivateKey[32] = {0x5a, 0x6f, 0x72, 0x4d, 0x61, 0x72, 0x6b, 0x01, 0x02, 0x03, 0x04,
                                     0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,
                                     0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};

}  // namespace

std::vector<unsigned char> TestKeyMaterial() {
  std::vector<unsigned char> material(64);
  R3410_256_PubKey(R34101_SelectParams(R3410_PARAMSET_256_A), material.data(), kTestPrivateKey);
  material.insert(material.end(), kTestSubject, kTestSubject + sizeof kTestSubject - 1);
  return material;
}
