// The request dispatcher of the framed requests (codes 0-47) and the values
// those requests leave for the packet path.
#pragma once
#include "kern_host.h"

extern "C" {
// Runs request `code` on the 24-byte request header and payload in `buffer`
// (`length` bytes), taking filter lock 1 when `lock` is non-zero. Result:
// 24 + reply payload length, or a negative status.
int32_t internal_FilterGetInformation(uint32_t code, uint8_t *buffer, uint32_t length,
                                      uint32_t lock);

// Tick until which the answer to a probe SYN RQ (request 7) is awaited; 0 none.
extern uint32_t probe_deadline;
// Gateway blocks returned by requests 28 and 29 (nothing writes them).
extern uint8_t gateway_block28[268];
extern uint8_t gateway_block29[200];
// The update answer that request 13 hands over (a DrvUpdateAnswer head and
// its data, at most the static send buffer of update answers) and its
// waiting flag; nothing in the filter makes one.
constexpr uint32_t UPD_ANSWER_SIZE = 1600;
extern uint8_t upd_answer[UPD_ANSWER_SIZE];
extern uint32_t upd_answer_waiting;
}
