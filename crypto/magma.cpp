#include "crypto/magma.h"

#include "crypto/gost89.h"
#include "crypto/magma_cmac.h"
#include "crypto/sbox_sources.h"

using namespace zor::crypto;

extern "C" {

const UzTable4K MAGMA_sbox_4k = uz_expand(kSboxParamZ);
const UzPacked magmauz_cmpr = uz_pack(kSboxParamZ);

UzTable4K magmauz;
uint32_t magma_UZ_inited;
alignas(8) uint8_t impref[8];

uint64_t magmaencrypt_ni(uint64_t block, const uint32_t key[8]) {
  return uz_encrypt(MAGMA_sbox_4k, key, block);
}

void PrepareUz(UzTable4K *dst, const UzPacked *src) { uz_fill_packed(*dst, *src); }

const UzTable4K *magma_get_UZ(void) {
  // Whoever builds it first writes the same bytes as any other builder.
  if (!__atomic_load_n(&magma_UZ_inited, __ATOMIC_ACQUIRE)) {
    PrepareUz(&magmauz, &magmauz_cmpr);
    __atomic_store_n(&magma_UZ_inited, 1u, __ATOMIC_RELEASE);
  }
  return &magmauz;
}

uint32_t ImPrefixMAGMA(const uint32_t key[8], const uint8_t *data, uint32_t len) {
  magma_cmac(key, data, len, impref);
  return load_le32(impref + 4);
}

uint32_t ImPrefixMAGMAStoreLO(void) { return load_le32(impref); }

uint32_t EncipherKeyMAGMA(const uint32_t kek[8], uint8_t key[32]) {
  const uint32_t mac = ImPrefixMAGMA(kek, key, 32);
  const UzTable4K *uz = magma_get_UZ();
  for (int i = 0; i < 32; i += 8) gostcrypt(uz, kek, key + i, key + i);
  return mac;
}

uint32_t DecipherKeyMAGMA(const uint32_t kek[8], uint8_t key[32]) {
  const UzTable4K *uz = magma_get_UZ();
  for (int i = 0; i < 32; i += 8) gostdecrypt(uz, kek, key + i, key + i);
  return ImPrefixMAGMA(kek, key, 32);
}

}  // extern "C"
