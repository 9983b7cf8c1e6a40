#pragma once
// The requests that have the filter build and check the handshake
// datagrams and take the keys. The filter builds every datagram; the engine
// keeps the last one in Packet/packetLen/sendPacketRules (engine_state.h).
#include <cstdint>

#include "Service/common/engine/engine_state.h"

// The 124-byte ephemeral key record of a SYN request without a certificate.
struct __attribute__((packed)) EphemeralKeyRecord {
  uint32_t unset0;
  uint32_t publicLength;   // 64
  uint32_t unset8;
  uint32_t privateLength;  // 32
  uint8_t unset16[12];
  uint8_t publicKey[64];
  uint8_t privateKey[32];
};
static_assert(sizeof(EphemeralKeyRecord) == 124, "the ephemeral key record is 124 bytes");
// Decision: the record's unset bytes are sent as zeros.

// The client's answer length above this is refused with SYNRQ_BAD_MATERIAL.
constexpr int32_t SYNRQ_MAX_MATERIAL = 18412;
constexpr int32_t SYNRQ_BAD_MATERIAL = 79;
constexpr uint32_t SIGN_SYN_SUBCODE = 79;

// 6: asks client for the SYN material (type 0) or makes an ephemeral key
// (type 1); on success Packet = header + datagram.
int32_t getSendPacket_SYNRQ(int client);
// 7: the availability probe for gateway into buf (*len room in, length out).
int32_t getSendPacket_SYNRQ_checkavailable(uint32_t gateway, uint16_t* port, uint8_t* buf,
                                           uint32_t* len);
// 8: treats the probe's answer; 0 when the gateway is available.
int32_t treatRecvPacket_SYNRQ_checkavailable(const uint8_t* buf, uint32_t len);
// 5: one gateway datagram; the filter's answer replaces buf, which holds
// `room` bytes (an answer longer than that is refused with -1002 and buf is
// left alone); *offset = the reply header's reserved word.
int32_t treatReceivedPacket(uint8_t* buf, uint32_t len, uint32_t* offset,
                            uint32_t room = ENGINE_PACKET_SIZE);
// 9: Packet = the SYN OK datagram alone.
int32_t treatSendPacket_SYNOK();
int32_t createTransportKey(const uint8_t* buf, uint32_t len);   // 31
// 10: sends the 84-byte record, then overwrites it with random bytes.
int32_t setKeys(SetConnectKeys* block);
// 40: local IPv4 address and UDP port of the gateway socket (host order).
int32_t setClientSocketData(uint32_t localIp, uint32_t localPort);
int32_t sendProxyState(int code, const void* data, uint32_t len);  // 18
int32_t getNextSynNumber(uint8_t* number);                           // 32
int32_t getStageTimeout(uint32_t& seconds);                          // 47
// Fills setconnectkeys from tbuff's key block (check by connectGost).
void FillConnectKeys(uint16_t localPort);
