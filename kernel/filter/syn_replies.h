// Treatment of the gateway's handshake replies (SYN RR with its reassembly,
// status datagrams, SYN OKF) against the tunnel client record.
#pragma once
#include <stdint.h>

namespace zor::tunnel {

// Treats one datagram of len bytes in buf. buf is also the output area: up
// to cap bytes of what goes back to the service are written there and *out
// gets their count. Result 0 accepted, positive a gateway verdict or
// refusal, negative a local refusal (the state is then unchanged).
int32_t ClientTreatSynPacket(uint8_t *buf, uint32_t len, uint32_t cap, uint32_t *out,
                             uint32_t probe);

// Frees the SYN RR reassembly records.
void FreeBundles();

// The authentication variant the handshake announces (TLV 0x19).
uint8_t AuthVariant();
constexpr uint8_t kAuthKeyAgreement = 131;

}  // namespace zor::tunnel
