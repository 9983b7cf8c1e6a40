#pragma once
// One connect attempt: drives the filter's connection state from wherever
// it stands up to CS_CONNECT, carrying the handshake datagrams between the
// filter and the gateway socket and letting the initiating client sign the
// SYN request and check the gateway's PKI block through synchronous pushes.
// Every failure after the filter's state was touched ends in disConnect.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Service/common/engine/engine_state.h"

// Result codes of ConnectToVesk (the error value says more).
enum ConnectResult : int32_t {
  CONNECT_OK = 0,
  CONNECT_CANCELLED = 1,      // -9998 cancelled; 16 no stage for the state
  CONNECT_INIT_FAILED = 2,    // 51 no gateway; -3 adapter binding; else init status
  CONNECT_PROXY_FAILED = 3,
  CONNECT_SYNRQ_FAILED = 4,   // aux data, tunnel group, SYN request, try counter
  CONNECT_SOCKET_FAILED = 5,  // errno (lerr); -4 no memory
  CONNECT_SYNOK_FAILED = 6,
  CONNECT_REFUSED = 7,        // datagram status; PKI verdict; -9; transport key
  CONNECT_NO_SYNOKF = 8,      // datagram status (16 none); -9999 push deadline
  CONNECT_KEYS_FAILED = 9,
};

// Error values the stages make themselves.
enum : int32_t {
  CONNECT_ERR_NO_STAGE = 16,       // also: no datagram status at all
  CONNECT_ERR_NO_GATEWAY = 51,
  CONNECT_ERR_OCSP = 65,
  CONNECT_ERR_OTP = 62,
  CONNECT_ERR_OKF_REFUSED = 67,
  CONNECT_ERR_CANCELLED = -9998,
  CONNECT_ERR_PUSH_TIMEOUT = -9999,
  CONNECT_ERR_PUSH_TOO_LONG = -9,
  CONNECT_ERR_ADAPTER = -3,
  CONNECT_ERR_NO_MEMORY = -4,
  CONNECT_ERR_BAD_SIZE = -1002,
};

// Messages pushed to the initiating client.
enum : uint32_t {
  IPC_MSG_RULES_ON_CONNECT = 51,
  IPC_MSG_SYNRR_REFUSED = 60,  // +8 the refusal's detail word
  IPC_MSG_SYNOKF_REFUSED = 61, // +20 76 bytes of detail
  IPC_MSG_OTP_ERROR = 62,      // +8 the gateway's inner OTP error code
  PKI_CHECK_SUBCODE = 78,      // +16 of message 59
};

// The PKI block the filter leaves in tbuff after an accepted SYN reply:
// 28 header bytes, then A + B + C bytes for the client to check.
struct __attribute__((packed)) PkiBlockHeader {
  uint32_t unused0;
  uint32_t lengthA;
  uint32_t lengthB;
  uint32_t unused12[2];
  uint32_t lengthC;
  uint32_t pushDeadline;  // seconds since 1970-01-01; 0 none
};
static_assert(sizeof(PkiBlockHeader) == 28, "the PKI block header is 28 bytes");

// The SYN request datagrams are at most this long (header and chunk).
constexpr uint32_t SYNRQ_DATAGRAM_MAX = 1440;

struct ProfileConnectData;
// Runs one attempt for client; alternative is non-zero when the gateway
// address is an alternative one. The two pointers are not read (connect_data
// and interrupt_connection serve); extra, when given, is set to 0.
int32_t ConnectToVesk(int client, int32_t* error, int32_t alternative, const ProfileConnectData* unused,
                      const std::atomic<bool>* unusedFlag, unsigned long* extra);

// Stamps the try counter (and the trailer) into the SYN request held in
// reply (header + request, size bytes) and sends it, in fragments when the
// filter gave it a request header; 0, 4 or 5 with *error set on failure.
int32_t CreateAndSendSynRQPacket(const uint8_t* reply, uint32_t size, int32_t* error);
// The datagrams of a request of length L with a header of H bytes, as
// (start, length) pairs in the request after the header copies are made.
struct SynFragment {
  uint32_t start;       // first byte of the datagram in the request
  uint32_t length;      // header copy and chunk
  bool stampOffset;     // not the first: a header copy ends in the chunk offset
  uint16_t offsetWord;  // the chunk's offset within the body
};
std::vector<SynFragment> SynRequestFragments(uint32_t L, uint32_t H);

// True when the attempt must stop (initiator lost or command 30); then
// result 1 and error -9998.
bool is_interupt_connecton(int32_t& result, int32_t& error);
void sendExtendedOTPError(int client);
// Logs the gateway's dynamic configuration (12-byte entries).
void PrintDynCfg(const uint8_t* entries, uint32_t length);
// The log text of PrintDynCfg; empty for no whole entry.
std::string DynCfgText(const uint8_t* entries, uint32_t length);
