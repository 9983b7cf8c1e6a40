// The client's handshake datagrams (SYN RQ, SYN OK) and the session keys the
// service hands back. The builders work on a request buffer: the 24-byte
// request header, then the payload (the request material on entry, the
// datagram on return). Results are the reply's total length or a negative
// status.
#pragma once
#include <stdint.h>

#include "drv_payloads.h"
#include "drv_requests.h"

namespace zor::tunnel {

constexpr uint32_t kReqHead = sizeof(DrvRequestHeader);
constexpr uint32_t kEphemeralRecord = sizeof(DrvEphemeralKey);

// room = what the payload may take; n = request payload bytes.
int32_t ClientMakeSynRq(uint8_t *buffer, uint32_t n, uint32_t room, uint32_t probe);
int32_t ClientMakeSynOk(uint8_t *buffer, uint32_t room);
// The 84-byte key record: 4 u32 local address, 12 u16 local port, 16..79 key
// block, 80 u32 its check value. Non-zero when the keys were taken.
uint32_t ClientSetConnectKeys(const uint8_t *record, uint32_t n);
// The next SYN try number, also stamped into the kept SYN RQ (and its trailer
// renewed) since the service sends it with that number.
uint8_t ClientNextSynNumber();

}  // namespace zor::tunnel
