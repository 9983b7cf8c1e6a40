#include "kernel/filter/statistics.h"

#include "kernel/filter/tunnel_client.h"

extern "C" {
FilterStats filterstats;
}

namespace {

// Counter i (0..3) of the entry's statistics bytes.
void count_entry(uint32_t entry, uint32_t i) {
  if (entry >= zor::addr::kEntries) return;
  uint8_t *stats = zor::tunnel::client.table.e[entry].data;
  uint32_t v;
  memcpy(&v, stats + 4 * i, 4);
  v++;
  memcpy(stats + 4 * i, &v, 4);
}

}  // namespace

extern "C" {

void StatIncRecvPacks(uint32_t entry) {
  filterstats.recv++;
  count_entry(entry, 0);
}
void StatIncRecvErrPacks(uint32_t entry) {
  filterstats.recverr++;
  count_entry(entry, 1);
}
void StatIncOkRecvSend(uint32_t entry) {
  filterstats.okrecvsend++;
  count_entry(entry, 2);
}
void StatIncProhibitRecvSend(uint32_t entry) {
  filterstats.prohibit++;
  count_entry(entry, 3);
}
void StatIncOpenOkRecvSend(void) { filterstats.openok++; }

}  // extern "C"
