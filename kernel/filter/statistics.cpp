#include "kernel/filter/statistics.h"

#include "kernel/filter/tunnel_client.h"

extern "C" {
FilterStats filterstats;
uint32_t stat_entry = 0xFFFFFFFFu;
}

namespace {

// Counter i (0..3) of the entry's statistics bytes.
void count_entry(uint32_t i) {
  if (stat_entry >= zor::addr::kEntries) return;
  uint8_t *stats = zor::tunnel::client.table.e[stat_entry].data;
  uint32_t v;
  memcpy(&v, stats + 4 * i, 4);
  v++;
  memcpy(stats + 4 * i, &v, 4);
}

}  // namespace

extern "C" {

void StatIncRecvPacks(void) {
  filterstats.recv++;
  count_entry(0);
}
void StatIncRecvErrPacks(void) {
  filterstats.recverr++;
  count_entry(1);
}
void StatIncOkRecvSend(void) {
  filterstats.okrecvsend++;
  count_entry(2);
}
void StatIncProhibitRecvSend(void) {
  filterstats.prohibit++;
  count_entry(3);
}
void StatIncOpenOkRecvSend(void) { filterstats.openok++; }

}  // extern "C"
