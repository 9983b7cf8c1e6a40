#include "cross/common/profile_cfgtype.h"

#include "crypto/crc32.h"

void SealCfgRecord(cfgtype* c) {
  c->ch_fcs32 = ~FCS32(c, CFG_SEALED_BYTES);
}
