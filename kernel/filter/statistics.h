// Packet counters of the packet path: totals of the filter, and per
// address-table entry the first four in the entry's statistics bytes (read
// back by RQC_GETSTAT).
#pragma once
#include "kern_host.h"

struct FilterStats {
  uint32_t recv;        // packets tunnelled, either way
  uint32_t recverr;     // packets refused as malformed or unauthentic
  uint32_t okrecvsend;  // packets passed on
  uint32_t prohibit;    // packets refused by policy
  uint32_t openok;      // non-IP frames let through
};

extern "C" {
extern FilterStats filterstats;
// The address-table entry the counts of the packet in hand also go to
// (0xFFFFFFFF: none); set by the packet path under lock 0.
extern uint32_t stat_entry;

void StatIncRecvPacks(void);
void StatIncRecvErrPacks(void);
void StatIncOkRecvSend(void);
void StatIncProhibitRecvSend(void);
void StatIncOpenOkRecvSend(void);
}
