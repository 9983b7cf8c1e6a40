// Tunnel control of a connected session: key change (type 7) and its
// acknowledgement (type 8), out-of-band messages (type 11), the gateway's
// status inside the tunnel (type 3), and the tunnel timer that starts and
// retries key changes, sends keep-alives and runs the key areas' count-down.
// Runs under filter lock 0.
//
// Layouts: zor::wire::KeyChange, KeyChangeAck and OobHead (wire_format.h);
// protection in tunnel_crypto.h.
// The keep-alive (code 16384) carries the 16-byte block of the SYN OKF when
// the gateway gave one, else no data. No received-volume counter is kept:
// the next keep-alive is always due 90 ticks after an answer or an
// out-of-band message of the gateway.
#pragma once
#include "kern_host.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/wire_format.h"

// Lengths of a key change and of its acknowledgement.
constexpr uint32_t GUARD_KEYCHANGE_LEN = sizeof(zor::wire::KeyChange);
constexpr uint32_t GUARD_ACK_LEN = sizeof(zor::wire::KeyChangeAck);

constexpr uint32_t GUARD_KEEPALIVE_TICKS = 90;
constexpr uint8_t GUARD_KEEPALIVE_RETRIES = 7;
constexpr uint32_t GUARD_KEYCHANGE_ATTEMPTS = 5;
constexpr uint32_t GUARD_KEYCHANGE_RETRY_TICKS = 36;
constexpr uint32_t GUARD_KEYCHANGE_MAX_NOT_READY = 274;
constexpr uint32_t GUARD_REKEY_COUNTER = 0x2000000;
// The two 64-byte areas that the timer's count-down clears are the client's
// key areas: the login and password of the init record, which the filter
// keeps for later init records that leave them empty. Every session start
// arms the count-down; after this many ticks of connected time (about a
// minute) both are cleared, so the credentials do not stay in the filter
// for the session's life. The handshake reads them only for a gateway that
// asks for them (SYN RR options bit 0x100), and such a gateway has them
// cleared at the SYN OKF already.
constexpr uint32_t GUARD_KEYAREA_LIFE_TICKS = 1080;

constexpr uint16_t OOB_DISCONNECT = 1;
constexpr uint16_t OOB_ACCESS_LEVEL = 2;
constexpr uint16_t OOB_ACCESS_LEVEL_ACK = 3;
constexpr uint16_t OOB_KEEPALIVE = 16384;

constexpr uint32_t STATUS_SESSION_TIMEOUT = 31;
constexpr uint32_t STATUS_GATEWAY_TERMINATED = 25;

extern "C" {
// The 32-byte random block of the open-data masking and its made flag.
extern uint8_t CLI_MASK_OPEN_DATA_rnd[32];
extern uint32_t CLI_MASK_OPEN_DATA_rndinited;

// Received control packets (d: UDP payload of len bytes). 0 handled (or an
// acknowledgement error recorded), negative refused; key change: 1 with a
// configured magic other than the protocol's. A key change of a master the
// session took already is refused (GUARD_ERR_REPLAY) and changes nothing;
// one of a new master the session finds no room to keep (master_ring.h)
// ends the session with DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM and is 1. An
// acknowledgement while no key change of the client runs is a copy of an
// earlier one: refused (GUARD_ERR_REPLAY), it changes nothing.
int32_t GuardTreatKeyChange(IPPacket *p, uint8_t *d, uint32_t len);
int32_t GuardTreatAck(uint8_t *d, uint32_t len);
// Out-of-band and status: 1 consumed, negative refused.
int32_t GuardTreatOob(uint8_t *d, uint32_t len);
int32_t GuardTreatStatus(uint8_t *d, uint32_t len);
// The peer answered: keep-alive wait over.
void GuardNoteAnswer(void);

// Fills the outer IPv4 and UDP headers of a datagram for the gateway at ip
// (ihl header bytes, udplen UDP bytes behind them) and their checksums;
// of the flags and offset word only the DF bit already there stays.
void GuardFillOuterHeaders(uint8_t *ip, uint32_t ihl, uint32_t udplen);
// The same but the UDP checksum, which CalcUdpTcpChkSum(ip) adds once the
// datagram is protected (it needs no state of the session).
void GuardFillOuterHeadersButSum(uint8_t *ip, uint32_t ihl, uint32_t udplen);

// 0 sent, or nothing to send while a key change runs; else:
enum OobSendStatus : int32_t {
  OOB_SEND_REFUSED = -1,   // bad length, or no session
  OOB_SEND_FAILED = -2,    // no memory, or no tunnel adapter
};
int32_t GuardSendOOBData(uint32_t code, const uint8_t *data, int32_t n);
// Acknowledges the last received key generation to the sender of p.
void GuardSendKeyChAck(IPPacket *p);
void GuardSendAccLvlUpdAck(void);
// One tick of the tunnel while connected.
void GuardTreatTimer(void);
// Arms the key areas' count-down (session start).
void GuardArmKeyAreaCountdown(void);
}
