// Payload layouts of the framed control requests that carry fixed records
// (behind the DrvRequestHeader of drv_requests.h). Little-endian fields,
// read natively on this little-endian host; packed and may_alias, as they
// are laid over request buffers. Freestanding.
#pragma once
#include <stdint.h>

// RQC_GETINFO's reply.
struct __attribute__((packed, may_alias)) DrvInfoReply {
  uint32_t zero0;
  uint32_t last_error;            // last acknowledgement or key-change error (0-8)
  uint32_t zero8;
  uint32_t dos_connect;           // DOS date-time of the connection
  uint32_t dos_session_change;    // DOS date-time of the last session change
  uint32_t adapters;              // bound adapters
  char build_text[32];            // the library's build text, zero-filled
  char driver_version[32];        // driverversionstr, zero-filled
};
static_assert(sizeof(DrvInfoReply) == 88, "drvInfo is 88 bytes");

// RQC_GETCFGCON's reply.
struct __attribute__((packed, may_alias)) DrvConnectionConfig {
  uint8_t init_record[268];       // the stored FilterInitRecord's first bytes
  uint8_t clear_in_use;           // the client option "clear data in use" (0 or 1)
  uint8_t zero[3];
};
static_assert(sizeof(DrvConnectionConfig) == 272, "the connection configuration is 272 bytes");

// RQC_GETSTAT's request. Every kind is answered with a 72-byte record: the
// entry's clientstatstype, or for kind 4 the count of used entries in the
// first u32 and zeros after it.
struct __attribute__((packed, may_alias)) DrvStatRequest {
  uint32_t kind;    // 1-3 reset, 2 also clears every entry's counters, 4 counts entries
  uint32_t index;   // the address-table entry read back
};
static_assert(sizeof(DrvStatRequest) == 8, "the statistics request is 8 bytes");
constexpr uint32_t DRV_STAT_CLEAR_ALL = 2, DRV_STAT_COUNT_ENTRIES = 4;

// RQC_DISCONNECT's request.
struct __attribute__((packed, may_alias)) DrvDisconnectRequest {
  uint32_t unused;
  uint32_t clear_granted;   // non-zero: the granted-right words are cleared
};
static_assert(sizeof(DrvDisconnectRequest) == 8, "the disconnect request is 8 bytes");

// RQC_PCONNECTING's request (at least these 14 bytes).
struct __attribute__((packed, may_alias)) DrvProxyConnecting {
  uint32_t flags;       // bit 0: proxify the non-standard FTP port
  uint32_t type;        // 0 none, 1 or 2 a TCP proxy
  uint32_t proxy_ip;
  uint16_t proxy_port;
};
static_assert(sizeof(DrvProxyConnecting) == 14, "the proxy-connecting request is 14 bytes");
constexpr uint32_t DRV_PROXY_FTP_PORT = 0x01;   // flags bit 0
constexpr uint32_t DRV_PROXY_NONE = 0, DRV_PROXY_TYPE_MAX = 2;

// RQC_PCONNECTED's request (at least these 12 bytes).
struct __attribute__((packed, may_alias)) DrvProxyConnected {
  uint32_t own_ip;
  uint32_t relay_ip;
  uint16_t own_port;
  uint16_t relay_port;
};
static_assert(sizeof(DrvProxyConnected) == 12, "the proxy-connected request is 12 bytes");

// RQC_PDISCONNECT's request: the TCP proxy that goes.
struct __attribute__((packed, may_alias)) DrvProxyEndpoint {
  uint32_t ip;
  uint16_t port;
};
static_assert(sizeof(DrvProxyEndpoint) == 6, "the proxy end point is 6 bytes");

// RQC_GETACCESSLEVEL's reply.
struct __attribute__((packed, may_alias)) DrvAccessLevel {
  uint8_t level;
  uint32_t any_granted;   // 1 when any granted-right word is non-zero
};
static_assert(sizeof(DrvAccessLevel) == 5, "the access level reply is 5 bytes");

// RQC_SETFILTERPARAMS's request (at least these 28 bytes).
struct __attribute__((packed, may_alias)) DrvFilterParams {
  uint8_t firewall[20];   // FIREWALL_SetFirewallParams's words
  uint32_t tos;           // low byte non-zero: the TOS of the tunnel's datagrams
  uint32_t ttl;           // low byte non-zero: their TTL
};
static_assert(sizeof(DrvFilterParams) == 28, "the filter parameters are 28 bytes");

// RQC_MAKESYNRQ's request when the auxiliary record has flag bit 4: the
// ephemeral key pair of the key agreement.
// The unset bytes carry whatever the service's work area held.
struct __attribute__((packed, may_alias)) DrvEphemeralKey {
  uint8_t unset0[4];
  uint32_t public_len;      // 64
  uint8_t unset8[4];
  uint32_t scalar_len;      // 32
  uint8_t unset16[12];
  uint8_t public_key[64];   // travels in the SYN RQ's 'A'
  uint8_t scalar[32];       // stays in the filter
};
static_assert(sizeof(DrvEphemeralKey) == 124, "the ephemeral key record is 124 bytes");

// The session's key block.
struct __attribute__((packed, may_alias)) DrvKeyBlock {
  uint8_t vesk[32];     // "vesk seskey"
  uint8_t client[32];   // "client seskey"
};
static_assert(sizeof(DrvKeyBlock) == 64, "the key block is 64 bytes");

// RQC_TREATPACKET's reply after an accepted SYN OKF.
struct __attribute__((packed, may_alias)) DrvSynOkfReply {
  DrvKeyBlock keys;
  uint32_t session_id;
};
static_assert(sizeof(DrvSynOkfReply) == 68, "the SYN OKF reply is 68 bytes");

// RQC_SETKEYS's request: the session's socket and the key block that the
// SYN OKF's treatment returned.
struct __attribute__((packed, may_alias)) DrvKeyRecord {
  uint32_t zero0;
  uint32_t sock_addr;       // the client's tunnel address
  uint32_t zero8;
  uint16_t sock_port;       // the client's tunnel port
  uint16_t zero14;
  uint8_t key_block[sizeof(DrvKeyBlock)];   // DrvKeyBlock
  uint32_t check;           // imitation of key_block under the zero key
};
static_assert(sizeof(DrvKeyRecord) == 84, "the key record is 84 bytes");

// RQC_TREATPACKET's reply after an accepted SYN RR: this head, then the
// values of the gateway's TLVs 'B', 'A' and 26, one after the other.
struct __attribute__((packed, may_alias)) DrvSynRrReply {
  uint32_t zero0;
  uint32_t a_len;         // bytes of 'A'
  uint32_t b_len;         // bytes of 'B'
  uint8_t zero12[8];
  uint32_t extra_len;     // bytes of TLV 26 (key agreement only)
  uint8_t rr_word[4];     // TLV 27's value (key agreement only, at most 4 bytes)
};
static_assert(sizeof(DrvSynRrReply) == 28, "the SYN RR reply head is 28 bytes");

// RQC_SETAUXINFO's request: the auxiliary record of a connection attempt.
struct __attribute__((packed, may_alias)) DrvAuxInfo {
  uint8_t variant;          // the client's authentication variant byte (the version's low byte)
  uint8_t version_rest[3];
  uint32_t flags;           // bit 4 (DRV_AUX_EPHEMERAL): a profile without a certificate
  char identifier[32];      // NUL-terminated unless all 32 bytes are used
  char firmware[32];
  char module_version[32];
  char daemon_version[32];
  uint8_t machine_id[32];   // with DRV_AUX_EPHEMERAL: travels in the SYN RQ's 'G'
  uint32_t kind;            // with DRV_AUX_EPHEMERAL: travels in the SYN RQ's 'F'
};
static_assert(sizeof(DrvAuxInfo) == 172, "the auxiliary record is 172 bytes");
constexpr uint32_t DRV_AUX_EPHEMERAL = 0x10;

// RQC_SETLOCALCFG's request: one chunk of the local rules image.
struct __attribute__((packed, may_alias)) DrvLocalCfgChunk {
  uint32_t image_len;   // the whole image
  uint32_t offset;      // where the chunk's bytes go (0 starts a new image)
  uint8_t bytes[];      // the rest of the request
};
static_assert(sizeof(DrvLocalCfgChunk) == 8, "the chunk head is 8 bytes");

// RQC_SETLOCALCFG's reply.
struct __attribute__((packed, may_alias)) DrvLocalCfgAck {
  uint32_t next;        // the next offset expected
  int32_t error;        // LcfgStatus, 0 when taken
};
static_assert(sizeof(DrvLocalCfgAck) == 8, "the chunk answer is 8 bytes");

// RQC_GETLOCALCFG's reply head (the request's first u32 is the offset):
// then the block's bytes.
struct __attribute__((packed, may_alias)) DrvLocalCfgBlock {
  uint32_t offset;      // 0 the header, 32 the table, 3112 the tail
  uint32_t length;      // bytes of the block behind this head
  uint32_t image_len;
  uint32_t zero;
};
static_assert(sizeof(DrvLocalCfgBlock) == 16, "the block head is 16 bytes");

// RQC_GETVESKCFG_OTHER's reply, as the service reads it.
struct __attribute__((packed, may_alias)) DrvVeskCfgOther {
  uint32_t all_through_gateway;   // bit 0 of the gateway configuration's flags
  uint32_t session_id;
  uint32_t local_flags;           // the gateway configuration's word
  uint32_t tunnel_addr;           // the client's tunnel address (host order)
  uint8_t adapter_mac[6];         // the tunnel adapter's hardware address
  uint32_t granted[5];            // the granted-right words
  uint32_t gateway_addr;          // host order
  uint8_t access_level;
  char tunnel_group[21];          // NUL-terminated
  char domain_name[128];          // NUL-terminated
  char host_name[128];            // NUL-terminated
};
static_assert(sizeof(DrvVeskCfgOther) == 324, "veskcfgothertype is 324 bytes");

// The connection state reply: the client state and its option bits.
struct __attribute__((packed, may_alias)) DrvClientState {
  uint8_t state;
  uint8_t options;
};
static_assert(sizeof(DrvClientState) == 2, "the client state reply is 2 bytes");

// The reply carrying the next SYN sequence number.
struct __attribute__((packed, may_alias)) DrvSynNumber {
  uint8_t number;
};
static_assert(sizeof(DrvSynNumber) == 1, "the SYN number reply is 1 byte");

// RQC_SEEDRANDOM's request: a seed and its imitation (ImPrefixMAGMA under
// the all-zero key over the seed).
struct __attribute__((packed, may_alias)) DrvSeedRandom {
  uint8_t seed[72];
  uint32_t imitation;
};
static_assert(sizeof(DrvSeedRandom) == 76, "the seed request is 76 bytes");

// RQC_UPDGETANSW's reply: this head, then `length` bytes of data from byte
// 16. The three values go out as the answer came; the filter reads none.
struct __attribute__((packed, may_alias)) DrvUpdateAnswer {
  uint32_t value32;
  uint16_t value16;
  uint8_t value8;
  uint8_t zero7;
  uint32_t length;   // data bytes behind the head
  uint32_t zero12;
};
static_assert(sizeof(DrvUpdateAnswer) == 16, "an update answer's data starts at byte 16");

// RQC_SETTUNNELGROUP's request: the group name, 20 bytes and a terminator.
constexpr uint32_t DRV_TUNNEL_GROUP_LEN = 20;

// RQC_SETCLIENTSOCKET's request: the tunnel socket's local address and port.
struct __attribute__((packed, may_alias)) DrvClientSocket {
  uint32_t addr;
  uint32_t port;   // the low 16 bits
};
static_assert(sizeof(DrvClientSocket) == 8, "the client socket request is 8 bytes");

// RQC_GETVESKINFO's reply.
struct __attribute__((packed, may_alias)) DrvVeskInfo {
  uint32_t kind;           // DRV_VESK_KIND_*, 0 when not connected or not flagged
  uint32_t client_flags;   // the session flags
};
static_assert(sizeof(DrvVeskInfo) == 8, "the vesk info reply is 8 bytes");
constexpr uint32_t DRV_VESK_KIND_OPTION6 = 1, DRV_VESK_KIND_PLAIN = 2;

// RQC_GETFIREWALLINFO's reply: the four words of FIREWALL_GetInformation.
struct __attribute__((packed, may_alias)) DrvFirewallInfo {
  uint32_t sessions;
  uint32_t table_bytes;
  uint32_t rate_all;        // bytes per 2^20 time units, all traffic
  uint32_t rate_tunnel;     // the same for tunnelled traffic
};
static_assert(sizeof(DrvFirewallInfo) == 16, "the firewall info reply is 16 bytes");
