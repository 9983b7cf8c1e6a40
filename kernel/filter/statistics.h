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

// Each count also goes to the address-table entry `entry` of the packet
// (the frame context's stat_entry; out of range: none). Lock 0 held.
void StatIncRecvPacks(uint32_t entry);
void StatIncRecvErrPacks(uint32_t entry);
void StatIncOkRecvSend(uint32_t entry);
void StatIncProhibitRecvSend(uint32_t entry);
void StatIncOpenOkRecvSend(void);
}
