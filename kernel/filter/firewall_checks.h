// The firewall's packet checks: every Ethernet-shaped IPv4 frame that the
// packet path lets through is judged here; TCP segments must belong to a
// connection seen opening (SYN or FIN), and sessions closed actively get
// TCP reset frames. Callers hold filter lock 0.
#pragma once
#include "kern_host.h"
#include "kernel/filter/firewall_sessions.h"

// How far a session's opening has come: the SYN count, capped at established.
enum FwSynState : uint8_t { FW_SYN_NONE = 0, FW_SYN_FIRST = 1, FW_SYN_ANSWERED = 2, FW_SYN_ESTABLISHED = 3 };
// How far its closing has come: each FIN moves one step, each acknowledgement
// of a FIN the next (after the fourth, a FIN starts again at the first).
enum FwFinState : uint8_t {
  FW_FIN_NONE = 0,
  FW_FIN_FIRST = 1,
  FW_FIN_FIRST_ACKED = 2,
  FW_FIN_SECOND = 3,
  FW_FIN_SECOND_ACKED = 4
};

// TCP protocol data of a session (its 40 data bytes), ends in stored order.
struct FwTcpData {
  uint16_t port1, port2;    // as on the wire; the look-up key
  uint32_t seqend1, seqend2;  // highest sequence end of each end, network order
  uint16_t ipid1, ipid2;    // last IP identification of each end, as on the wire
  uint64_t stamp;           // previous packet's stamp for the statistics; 0 none
  uint8_t finstate;         // FwFinState
  uint8_t synstate;         // FwSynState
  uint16_t segsize;         // segment size recorded by the MSS clamp
  uint32_t timestamps;      // 1 when the handshake carried TCP timestamps
  uint32_t tsval1, tsval2;  // latest TSval of each end, network order
};
static_assert(sizeof(FwTcpData) == FW_DATA_SIZE, "TCP session data is 40 bytes");

inline FwTcpData *FwTcp(FirewallSession *s) { return reinterpret_cast<FwTcpData *>(s->data); }

extern "C" {
// TTL and TOS of every IPv4 header the filter builds (request 23).
extern uint8_t FLT_IPH_DEFTTL;
extern uint8_t FLT_IPH_TOS;

// 0 pass, 1 refuse. length counts the 14-byte Ethernet header; ip may be
// null for a frame without an IP header. The session found or made goes to
// *session (when given).
uint32_t FIREWALL_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame,
                              uint8_t *ip, uint32_t length, uint32_t outgoing,
                              FirewallSession **session);
uint32_t FW_IP_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame, uint8_t *ip,
                           uint32_t length, uint32_t outgoing, FirewallSession **session);
uint32_t FW_TCP_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame, uint8_t *ip,
                            uint32_t length, uint32_t outgoing, FirewallSession **session,
                            uint32_t iphlen, uint32_t iptotal);
uint32_t FW_UDP_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame, uint8_t *ip,
                            uint32_t length, uint32_t outgoing, FirewallSession **session);

// Reject callback of TCP sessions: a reset to the local stack and its mirror
// to the remote end.
uint32_t FW_TCP_RejectSession(FirewallSession *session, uint32_t argument);
// The reset to the local stack alone (tunnel gone).
uint32_t FW_TCP_RejectVpnSessionOnDisconnect(FirewallSession *session);

uint32_t FIREWALL_RejectSession(FirewallSession *session, uint32_t argument);
uint32_t FIREWALL_RejectAllINSessions(FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel);
uint32_t FIREWALL_RejectAllOUTSessions(FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel);
uint32_t FIREWALL_RejectAllSessions(FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel);
uint32_t FIREWALL_RejectAllTcpVpnSessionsOnDisconnect(void);

// Queues a frame of max(length, 60) bytes on the adapter, to the network or
// up to the local stack. 0 handed over (nothing to do for tunnel flag 1),
// 1 refused. Takes no lock: lock 0 is held by the caller.
uint32_t FIREWALL_SendBuffer(uint32_t tunnel, FilterAdapter *adapter, const uint8_t *bytes,
                             uint32_t length, uint32_t tonetwork);

// The 28-byte parameters of request 23: five u32 time-outs in minutes.
void FIREWALL_SetFirewallParams(const uint8_t *params);
void FW_IP_SetFirewallParams(const uint8_t *params);
void FW_TCP_SetFirewallParams(const uint8_t *params);
void FW_UDP_SetFirewallParams(const uint8_t *params);
}
