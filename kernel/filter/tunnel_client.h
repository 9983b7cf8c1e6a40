// The filter's single tunnel client record: connection state, options, keys,
// the address table, the handshake images and the gateway's configuration,
// with the operations that set a connection up and tear it down.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "drv_payloads.h"
#include "kernel/filter/address_table.h"
#include "kernel/filter/client_record.h"
#include "kernel/filter/master_ring.h"

namespace zor::tunnel {

constexpr uint32_t kInitRecordSize = 692;
constexpr uint32_t kAuxInfoSize = sizeof(DrvAuxInfo);
constexpr uint32_t kImageSize = 16384;
constexpr uint32_t kAuthBlockMax = 256;

enum State : uint8_t {
  kIdle = 0, kSynRqBuilt = 1, kInitialised = 2, kTransportReady = 3,
  kSynRrTreated = 4, kSynOkBuilt = 5, kSynOkfTreated = 6, kConnected = 7,
};

static_assert(kIdle == addr::kClientIdle && kConnected == addr::kClientConnected,
              "the address table's view of the states");

// Bits of the options byte.
enum Option : uint8_t {
  kOptByteA = 0x02,       // init record byte 288
  kOptClearAllowed = 0x04,  // byte 289
  kOptCipherAllowed = 0x08, // byte 290
  kOptClearInUse = 0x10,
  kOptMgm = 0x20,
};

// Offsets inside the 692-byte FilterInitRecord.
namespace init {
constexpr uint32_t kFlags = 2, kDirFlags1 = 4, kDirFlags2 = 5, kGateway = 8, kServers = 12;
constexpr uint32_t kServersCount = 28, kProtection = 128, kMagic = 264;
constexpr uint32_t kOptA = 288, kOptB = 289, kOptC = 290;
constexpr uint32_t kKeyArea1 = 292, kKeyArea2 = 356, kKeyAreaSize = 64, kKeyAreas = 2;
constexpr uint32_t kServerUnset = 0xFFFFFFFFu;   // a server slot left unused (0 ends the list)
constexpr uint32_t kHostName = 420, kDomainName = 564;
}  // namespace init

// Key material of the running session (296 bytes; refilled with random
// bytes on disconnect). How the handshake fills it: wire_format.h.
struct SessionKeys {
  uint8_t recv_packet_key[32];   // made by the packet path per key index
  uint8_t send_packet_key[32];
  uint8_t packet_key_base[32];   // "client seskey"
  uint8_t send_control_key[32];  // "client seskey"
  uint8_t recv_control_key[32];  // "vesk seskey"
  uint8_t send_master[32];       // SYN OKF offset 40 (variant 16) or the fixed value (17)
  uint8_t send_master_from_peer; // 1 when the gateway gave the send master key
  uint8_t recv_master[32];       // "vesk seskey"
  uint8_t next_send_master[32];  // the gateway's key for this side's next key change
  uint8_t spare[39];
};
static_assert(sizeof(SessionKeys) == 296, "session key material is 296 bytes");

// Direction flags bit 0: frames that are not IPv4 are refused.
constexpr uint8_t DIR_BLOCK_NON_IP = 0x01;

struct Client {
  uint8_t state;
  uint8_t session_flags;
  uint8_t dir_flags1, dir_flags2;
  uint8_t options;
  uint32_t session_end_tick;
  uint16_t sock_port;
  uint32_t send_counter;
  uint32_t sock_addr;
  uint8_t auth_block[kAuthBlockMax];
  uint8_t auth_len;
  uint8_t aux_info[kAuxInfoSize];
  uint32_t dos_connect;
  uint32_t dos_session_change;
  uint8_t init_record[kInitRecordSize];   // its 292..419 are the two key areas
  uint8_t scalar[32];        // the client's private key half, until the SYN OKF
  uint8_t master_key[32];    // the session's master key (ECDH secret)
  uint8_t peer_pubkey[64];
  SessionKeys keys;
  MasterRing recv_masters;     // the receive masters taken with keys, wiped with them
  uint32_t session_id;         // SYN OKF u32 at 72 (variant 16) or 40 (17)
  uint32_t session_value2;     // SYN OKF u32 at 76 (variant 16)
  addr::Table table;
  uint8_t last_datagram[kImageSize];   // last SYN RQ or SYN OK built
  uint32_t last_datagram_len;
  uint8_t variant;
  uint8_t DynCfg[addr::kDynCfgSize];
  uint32_t stage_timeout;

  // Handshake state.
  uint8_t syn_number;          // try number, request 32
  uint8_t client_nonce[16];
  uint8_t gw_nonce[16];
  uint32_t gw_options;
  bool renewal;                // SYN RR asked for fresh key areas
  uint32_t per_session[2];     // cleared by ClientInit / ClientReInit
  uint8_t synrr[kImageSize];
  uint32_t synrr_len;
  uint8_t synokf[kImageSize];
  uint32_t synokf_len;
  uint8_t okf_block[16];       // SYN OKF TLV 24
  uint32_t okf_block_count;
  char *text;                  // SYN OKF TLV 77, NUL-terminated, own allocation
  void *bundles;               // SYN RR reassembly records (syn_replies.cpp)
  uint8_t reconfig_state;

  // Values set by requests.
  uint8_t auth_type_ext;       // request 39
  char tunnel_group[21];       // request 35
  uint32_t protocol_mask;      // request 45
  uint8_t access_level;
  uint32_t granted[5];
  uint32_t next_session_word;
  uint32_t last_error;         // last acknowledgement or key-change error (0-8)
  char country[2];
  uint8_t dns_suffix[2 + 1022];  // u16 length, the SYN OKF's ";"-separated suffixes (request 41)

  // Tunnel control's key-change bookkeeping, reset on disconnect.
  uint32_t kc_retry_tick, kc_attempts, kc_not_ready, kc_last_failure;
  // Ticks of connected time left until the two key areas are cleared; 0
  // none pending (tunnel_control.h).
  uint32_t keyarea_countdown;
};

extern Client client;
extern uint8_t client_old_cli_dyncfg[addr::kDynCfgSize];

}  // namespace zor::tunnel

// Proxy parameters of requests 18-20, read by proxy redirection; values set
// by requests 30 and 37 for the data path.
extern "C" {
extern uint32_t p_UseProxy, p_ProxyState, p_ProxyType, p_ProxyFlags;
extern uint32_t p_TCPProxyIP;
extern uint16_t p_TCPProxyPort;
extern uint32_t p_UDPMyIP, p_UDPProxyIP;
extern uint16_t p_UDPMyPort, p_UDPProxyPort;
extern uint32_t proxifynotstdftpport;
extern uint32_t cli_blocknet;
extern uint32_t magma_enabled;
}

namespace zor::tunnel {

// The client's two key areas (empty = first byte 0).
inline uint8_t *KeyArea(int i) {
  return client.init_record + init::kKeyArea1 + init::kKeyAreaSize * i;
}


// Results of the milestones below besides 0 (and ClientSetSocket's 1).
enum ClientResult : int32_t {
  CLIENT_NOT_CONNECTED = -1,     // ClientReInit outside the connected state
  CLIENT_NO_CURVE = -1,          // CreatePKIMasterKey: the curve set is missing
  CLIENT_NO_KEY_PAIR = -5,       // no scalar of this session to agree with
  CLIENT_SHORT_SOCKET = -9,      // fewer than 8 bytes of address and port
  CLIENT_AUX_EMPTY_TEXT = -12,   // one of the auxiliary texts is empty
  CLIENT_AUX_VARIANT = -13,      // the auxiliary record's variant is not the magic's
  CLIENT_NO_DATA_MODE = -14,     // neither clear nor enciphered data allowed; or the magic
  CLIENT_KEY_LENGTH = -22,       // a peer key of another length than 64
  CLIENT_PEER_KEY_REFUSED = -22, // a peer key that is no point of the curve's group
};

// Milestones of a connection attempt (ClientInit and ClientReInit with lock 0
// held).
int32_t ClientInit(uint8_t *record);
int32_t ClientReInit(uint8_t *record);
int32_t TreatReconfig(uint8_t *record);
int32_t ClientStoreAuxInfo(const uint8_t *info);
int32_t ClientSetSocket(const uint8_t *data, uint32_t length);
int32_t CreatePKIMasterKey(const uint8_t *data, uint32_t length);

// The session's key pair when the filter makes it (a profile with a
// certificate): a scalar from the filter's generator stays in the record,
// pub := its public point. 0, or CLIENT_NO_KEY_PAIR (nothing kept).
int32_t ClientMakeKeyPair(uint8_t pub[64]);
// Wipes the session's scalar: no further key agreement.
void ClientForgetKeyPair();
// Refills the session key material with random bytes and forgets the
// receive masters taken with it (the session ends).
void ClientForgetSessionKeys();

// Address table of the record (AddNewClient: client_record.h); now = curtick.
uint32_t FindClient(uint32_t address, bool refresh, bool may_learn);
void CheckAdapterForGuardServers(void *adapter);

// The service's own handshake datagrams on the packet path; ip points at
// an IPv4 header, len bytes of packet.
int32_t ClientIsSendInitVPNPack(const uint8_t *ip, uint32_t len);
int32_t ClientIsRecvInitVPNPack(const uint8_t *ip, uint32_t len);

// The protocol magic of the stored init record.
uint32_t ClientMagic();

}  // namespace zor::tunnel
