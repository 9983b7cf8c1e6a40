// The stateful firewall's session table: one record per connection seen
// open, in blocks of 128 records, found through a 4,096-bucket hash of the
// two addresses and the protocol, and closed in expiry order from each
// block's close-by-timeout list. Everything runs under filter lock 0, held
// by the callers.
#pragma once
#include "kern_host.h"

struct FilterAdapter;
struct FirewallSession;
struct SessionBlock;

// Closes a connection actively (resets); called with the session.
typedef uint32_t (*FirewallRejectCallback)(FirewallSession *session, uint32_t argument);

constexpr uint32_t FW_DATA_SIZE = 40;
constexpr uint32_t FW_BLOCK_SESSIONS = 128;
constexpr uint32_t FW_MAX_BLOCKS = 512;
constexpr uint32_t FW_BUCKETS = 4096;

// The two ends are stored in a fixed order: the first end sends the packets
// that carry the outgoing flag 1 (the local stack), the second end the rest.
struct FirewallSession {
  uint8_t mac1[6];
  uint8_t mac2[6];
  uint32_t addr1, addr2;  // network order, as in the packet
  uint8_t proto;
  uint8_t opening;        // outgoing flag of the packet that created it
  uint8_t closemode;      // 1 = reset when it expires; 0 = not listed
  uint8_t tunnel;         // 1 = tunnelled traffic
  FilterAdapter *adapter;
  uint8_t data[FW_DATA_SIZE];
  uint64_t expiry;        // 0 = not on the close-by-timeout list
  uint64_t spare;
  FirewallRejectCallback reject;
  FirewallSession *cprev, *cnext;  // close-by-timeout list
  SessionBlock *block;
  FirewallSession *hprev, *hnext;  // hash chain; hnext links the free list
};
static_assert(sizeof(FirewallSession) == 136, "session records are 136 bytes");

struct SessionBlock {
  FirewallSession sessions[FW_BLOCK_SESSIONS];
  FirewallSession *freelist;
  FirewallSession *closelist;
  uint32_t inuse;
  SessionBlock *prev, *next;
};
static_assert(sizeof(SessionBlock) == 17448, "session blocks are 17,448 bytes");

extern "C" {
extern SessionBlock *sessionblocksbuffer;
extern FirewallSession *fw_harray[FW_BUCKETS];
extern uint32_t firewallenabled;
extern uint64_t fw_curtick, fw_curtick_old;
extern uint64_t fw_tcp_vpn_close_on_disconnect_tick;
extern uint64_t fw_datalen, fw_worktime, fw_TUNdatalen, fw_TUNworktime;

// Time-outs in ticks of 55 ms.
extern uint64_t f_FW_TCP_SESSION_IDLE_TIMEOUT;
extern uint64_t f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT;
extern uint64_t f_FW_TCP_SESSION_CLOSEAFTERRST_TIMEOUT;
extern uint64_t f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT;
extern uint64_t f_FW_UDP_SESSION_IDLE_TIMEOUT;

// 0 ok, 1 no memory for the first block.
uint32_t FIREWALL_Initialize(void);
uint32_t FIREWALL_DeInitialize(void);
// The previous flag; turning it on removes every session.
uint32_t FIREWALL_Enable(uint32_t flag);

// a / mac_a belong to the packet's sender; the outgoing flag puts them into
// the stored order. None when disabled, the data is too long or no record
// can be had.
FirewallSession *FIREWALL_AddNewSession(uint32_t tunnel, FilterAdapter *adapter,
                                        const uint8_t *mac_a, const uint8_t *mac_b, uint32_t a,
                                        uint32_t b, uint8_t proto, const uint8_t *data,
                                        uint32_t datalen, FirewallRejectCallback reject,
                                        uint32_t outgoing);
// The session of these ends (either order, as the outgoing flag says);
// moves it to the head of its chain and refreshes its non-zero MACs.
FirewallSession *FIREWALL_FindSession(const uint8_t *mac_a, const uint8_t *mac_b, uint32_t a,
                                      uint32_t b, uint8_t proto, const uint8_t *data,
                                      uint32_t datalen, uint32_t outgoing);
uint32_t FIREWALL_RemoveSession(FirewallSession *session);
// Tunnel selectors of the removals and rejections: direct sessions,
// tunnelled ones, or every session (for FIREWALL_RemoveAllSessions the
// table starts afresh).
constexpr uint32_t FW_DIRECT = 0, FW_TUNNELLED = 1, FW_ANY_TUNNEL = 2;
uint32_t FIREWALL_RemoveAllSessions(uint32_t tunnel);
uint32_t FIREWALL_RemoveAllSessionsByAdapter(FilterAdapter *adapter, uint32_t tunnel);
uint32_t FIREWALL_RemoveAllINTCPSessions(uint32_t tunnel);

uint32_t FIREWALL_AddForCloseByTimeout(FirewallSession *session, uint64_t ticks, uint8_t mode);
uint32_t FIREWALL_DeleteFromCloseByTimeout(FirewallSession *session);
void FIREWALL_CheckForClosedSessionsByTimeout(void);
// Frees at most one empty block beyond the first.
void FIREWALL_ReclaimEmptyBlock(void);
// Closes a session: its callback runs when it is not listed or its close
// mode is 1, then it is removed.
void FIREWALL_CloseSession(FirewallSession *session, uint32_t argument);

void FIREWALL_Timer(void);
void FIREWALL_EnableTcpVpnCloseOnDisconnect(uint32_t flag);
uint32_t FIREWALL_AddStat(uint32_t tunnel, uint64_t gap, uint64_t bytes, uint32_t outgoing);
// Sessions in use, table memory in bytes, all-traffic and tunnelled rates.
void FIREWALL_GetInformation(uint32_t out[4]);

// Calls fn for every session in use (fn may remove the session it gets).
void FIREWALL_ForEachSession(void (*fn)(FirewallSession *session, void *ctx), void *ctx);
// Number of blocks in the table.
uint32_t FIREWALL_BlockCount(void);
}
