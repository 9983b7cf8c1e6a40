// Tunnel data packets: outgoing IPv4 packets wrapped into type-14 datagrams
// for the gateway (UDP to port 87), and the gateway's datagrams taken apart
// and dispatched (data here, control in tunnel_control.h). Runs under
// filter lock 0.
//
// Data datagram: zor::wire::DataHead (wire_format.h) and the payload.
// Protection: tunnel_crypto.h. Keys: the session key material of the
// client record (its layout, and where each key comes from: wire_format.h).
// Packet key for a counter: index = counter / 62,500 + 1; the packet-key
// base enciphered (OFB, both IV words = index) under the direction's master
// key. A key change of the gateway gives the receive master key at once;
// this side's send master key takes it only with its own key change, so no
// datagram leaves under a key the gateway has not been told.
// Data and out-of-band datagrams of the gateway share its send counter:
// each counter is taken once under a receive key (replay_window.h), checked
// in order once the datagram's MAC checks; the gateway's key change starts
// a new window, unless it brings back a master the session took already
// (master_ring.h): that one is refused and changes nothing.
#pragma once
#include "kern_host.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/replay_window.h"
#include "kernel/filter/tunnel_crypto.h"
#include "kernel/filter/wire_format.h"

constexpr uint32_t GUARD_DATA_HEAD = sizeof(zor::wire::DataHead);
// The shortest UDP datagram of the gateway that is looked into: the UDP
// header and the tunnel's common header.
constexpr uint32_t GUARD_MIN_UDP = UDPH_SIZE + sizeof(zor::wire::Header);
constexpr uint32_t GUARD_KEY_INDEX_UNITS = 62500;
constexpr uint32_t GUARD_COUNTER_RESTART = 0xFFFFFFFFu;
constexpr uint32_t GUARD_ACTIVITY_TICKS = 6;

// Bits of the session (key) flags of the client record.
constexpr uint8_t GUARD_KEYS_EXIST = 0x01;
constexpr uint8_t GUARD_KEYCHANGE = 0x02;
constexpr uint8_t GUARD_NEW_MASTER = 0x04;
constexpr uint8_t GUARD_KEEPALIVE_WAIT = 0x10;

// Receive errors.
constexpr int32_t GUARD_ERR_SHORT_UDP = -2845;
constexpr int32_t GUARD_ERR_UNKNOWN_TYPE = -3283;
constexpr int32_t GUARD_ERR_NO_KEYS = -2916;
constexpr int32_t GUARD_ERR_MAGIC = -3041;
constexpr int32_t GUARD_ERR_AUTH = -2975;
constexpr int32_t GUARD_ERR_SHORT_DATA = -2997;
// A data or out-of-band datagram whose counter was taken already under the
// receive key, or lies behind the replay window; a key change of a master
// the session took already (master_ring.h); an acknowledgement while no key
// change of the client runs.
constexpr int32_t GUARD_ERR_REPLAY = -2976;

// Tunnel bookkeeping of the session.
struct GuardState {
  uint8_t send_gen, recv_gen;
  uint8_t keepalive_retries;
  uint32_t recv_index, send_index;  // 1-based; 0 = none built
  uint32_t recv_deadline;           // receive-activity deadline (tick)
  uint32_t next_keepalive;          // tick
  uint8_t gwmac[6];                 // the gateway's hardware address
  uint8_t ownip[4];                 // the client's address on the way to the
                                    // gateway, as its datagrams carry it
  ReplayWindow replay;              // counters taken under the receive key
};

extern "C" {
extern GuardState guard;
extern uint16_t clientnextpackid;

// Sets the tunnel up on new session keys (connected state).
void GuardStartSession(void);
// Makes the packet key of a direction (1 send, 0 receive) for a counter.
void UpdatePacketKey(uint32_t send, uint32_t counter);
// 1 when MGM protects the session's packets.
uint32_t GuardUsesMgm(void);
// The gateway's IPv4 address (host order).
uint32_t GuardGatewayAddress(void);

// Wraps the packet into a data datagram in its frame's work packet (outer
// IPv4 header, UDP, datagram); returns the UDP length, 0 when refused.
uint32_t GuardTreatSendPack(IPPacket *p);
// The same in two steps, for datagrams protected together: builds the
// datagram at ip (room for the outer IPv4 header, UDP, datagram) with the
// send counter taken, and describes its protection in *job; returns the UDP
// length, 0 when refused. The job's key is the send packet key buffer, good
// until GuardSendKeyChanges() turns 1; after the protection
// GuardFillOuterHeaders(ip, ihl, udplen) completes the datagram.
uint32_t GuardBuildSendPack(IPPacket *p, uint8_t *ip, GuardDataJob *job);
// 1 when the next datagram's packet key is another than the current one.
uint32_t GuardSendKeyChanges(void);
// Takes a datagram from the gateway: < 0 error, > 0 consumed (control),
// 0 the packet now holds the decrypted inner packet.
int32_t GuardTreatRecvPack(IPPacket *p);
void GuardInitRandom(const uint8_t *seed);
uint32_t _MemCmp(const void *a, const void *b, uint32_t n);
}
