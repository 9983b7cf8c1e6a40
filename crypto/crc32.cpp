#include "crypto/crc32.h"

namespace {
constexpr uint32_t table_entry(uint32_t i) {
  for (int k = 0; k < 8; ++k) i = (i >> 1) ^ ((i & 1u) ? 0xEDB88320u : 0u);
  return i;
}
struct Table {
  uint32_t v[256];
};
constexpr Table make_table() {
  Table t{};
  for (uint32_t i = 0; i < 256; ++i) t.v[i] = table_entry(i);
  return t;
}
constexpr Table kTable = make_table();
static_assert(kTable.v[1] == 0x77073096u && kTable.v[128] == 0xEDB88320u &&
              kTable.v[255] == 0x2D02EF8Du);
}  // namespace

extern "C" {
const uint32_t f32t[256] = {
#define ZOR_ROW(i) kTable.v[i], kTable.v[i + 1], kTable.v[i + 2], kTable.v[i + 3]
#define ZOR_ROW16(i) ZOR_ROW(i), ZOR_ROW(i + 4), ZOR_ROW(i + 8), ZOR_ROW(i + 12)
    ZOR_ROW16(0),   ZOR_ROW16(16),  ZOR_ROW16(32),  ZOR_ROW16(48),
    ZOR_ROW16(64),  ZOR_ROW16(80),  ZOR_ROW16(96),  ZOR_ROW16(112),
    ZOR_ROW16(128), ZOR_ROW16(144), ZOR_ROW16(160), ZOR_ROW16(176),
    ZOR_ROW16(192), ZOR_ROW16(208), ZOR_ROW16(224), ZOR_ROW16(240),
#undef ZOR_ROW16
#undef ZOR_ROW
};

uint32_t FCS32cont(const void *buf, uint32_t len, uint32_t crc) {
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  // Four bytes at a time: XOR one little-endian word in, then four table steps.
  while (len >= 4) {
    crc ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    for (int k = 0; k < 4; ++k) crc = (crc >> 8) ^ f32t[crc & 0xFF];
    p += 4;
    len -= 4;
  }
  while (len--) crc = (crc >> 8) ^ f32t[(crc ^ *p++) & 0xFF];
  return crc;
}

uint32_t FCS32(const void *buf, uint32_t len) { return FCS32cont(buf, len, 0xFFFFFFFFu); }
}
