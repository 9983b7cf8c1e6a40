// Treatment of the gateway's handshake replies (SYN RR with its reassembly,
// status datagrams, SYN OKF) against the tunnel client record.
#pragma once
#include <stdint.h>

namespace zor::tunnel {

// Results of the handshake's treatment and builders, as the service reads
// them: 0 accepted, positive a gateway verdict or refusal, negative a local
// refusal. A status datagram's code c below 41 comes back as c + 43.
enum HandshakeResult : int32_t {
  HS_ACCEPTED = 0,
  HS_NOT_EXPECTED = -1,        // the client state takes no such datagram
  HS_NO_ROOM = -3,             // the reply does not fit the room
  HS_NO_MEMORY = -4,
  HS_BAD_IMITATION = -8,       // a SYN OKF or its configuration fails its check value
  HS_BAD_FRAGMENT = -9,        // a SYN RR fragment out of bounds, or no bundle record
  HS_WRONG_MAGIC = -14,        // the configuration's magic, or a protection mode it refuses
  HS_KEYS_WANTED = -15,        // key areas empty (gateway option 0x400 clear), or a renewal refused
  HS_KEYS_WANTED_STRICT = -16, // key areas empty with gateway option 0x400 set
  HS_BAD_CHECK = 4,            // CRC residue or length does not check
  HS_OKF_REFUSED = 6,          // SYN OKF under another magic, or a configuration of another format
  HS_NO_CONFIGURATION = 7,     // SYN OKF without a well-formed TLV 20
  HS_STATUS_UNKNOWN = 16,      // a status code of 41 or more
  HS_WRONG_VARIANT = 36,
  HS_STATUS_OFFSET = 43,       // added to a status code below 41
  HS_NO_RANDOM = 50,
  HS_NO_GATEWAY_BLOCK = 53,    // SYN RR without TLV 'B', or without a usable gateway key
};

// Gateway status codes (the status datagram's code) the handshake treats
// apart; codes from GW_STATUS_COUNT on are unknown.
enum GatewayStatus : uint32_t {
  GW_STATUS_IDLE = 1,           // back to the idle state
  GW_STATUS_CLEAR_KEYS = 19,    // clears the key areas; 'J' goes to the service
  GW_STATUS_TEXT = 24,          // 'H' goes to the service
  GW_STATUS_CLEAR_NOTICE = 34,  // with TLVs: clears the SYN OKF block and access level
  GW_STATUS_RENEW = 37,         // with TLVs during a renewal: keys wanted
  GW_STATUS_COUNT = 41,
};

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
