#include "Service/common/engine/handshake_requests.h"

#include <sys/time.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/filter_setup.h"
#include "crypto/gost3410.h"
#include "crypto/gost89.h"
#include "crypto/gost89_imit.h"
#include "crypto/magma.h"
#include "crypto/random.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"

namespace {

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, function, text.c_str());
}

uint64_t microsNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

void takeSendRules(const DrvRequestHeader& h) {
  sendPacketRules.flag = h.flag;
  sendPacketRules.port = h.port;
  sendPacketRules.value = 2000;
  filterState = h.state;
}

// The signature material of a certificate profile, from the client; 0 or
// the client's error (79 for a length out of range).
int32_t materialFromClient(int client, std::vector<uint8_t>& material) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  std::memset(msg.get(), 0, sizeof *msg);
  msg->code = IPC_MSG_SIGN_SYN;
  msg->result = SIGN_SYN_SUBCODE;
  msg->value1 = connect_data.profileId;
  // The client's answer: result 0 or its error, the byte count in the
  // third value (byte 16), the material from byte 20. A registered client
  // that lets the bounded wait run out is dropped, so it cannot hold the
  // daemon's pushes again; its attempt fails with the sub-code.
  if (IPC_SendToClient(msg.get(), client) != 1 && IPC_ClientAlive(client)) {
    logLine(__LINE__, "getSendPacket_SYNRQ",
            "Client #" + std::to_string(client) + " did not answer the signature request - dropped");
    IPC_DropClient(client);
    msg->result = SIGN_SYN_SUBCODE;
  }
  int32_t answer = static_cast<int32_t>(msg->result);
  int32_t length = static_cast<int32_t>(msg->value2);
  int32_t status = 0;
  if (answer != 0) {
    char text[64];
    snprintf(text, sizeof text, "Error answer from client: %d", answer);
    logLine(__LINE__, "getSendPacket_SYNRQ", text);
    status = answer;
  } else if (length < 0 || length > SYNRQ_MAX_MATERIAL) {
    logLine(__LINE__, "getSendPacket_SYNRQ", "Wrong data size from client: " + std::to_string(length));
    status = SYNRQ_BAD_MATERIAL;
  } else {
    material.assign(msg->payload, msg->payload + length);
  }
  DRV_Wipe(msg.get(), sizeof *msg);
  return status;
}

// A fresh GOST R 34.10-2012 key pair for a profile without a certificate.
void ephemeralMaterial(std::vector<uint8_t>& material) {
  const R3410_256_Params* params = R34101_SelectParams(R3410_PARAMSET_256_A);
  MAKEUZ4K(&f2009uz, f2009uz_v);
  randomizeruz = &f2009uz;
  uint8_t work[512];
  std::memcpy(work, &f2009uz, RNG_SEED_BYTES);
  for (int i = 0; i < RNG_SEED_BYTES / 8; i++) {
    uint64_t word, now = microsNow();
    std::memcpy(&word, work + 8 * i, 8);
    word ^= now;
    std::memcpy(work + 8 * i, &word, 8);
  }
  InitRandomEx(work, 0);
  EphemeralKeyRecord rec;
  std::memset(&rec, 0, sizeof rec);
  GetRandomEx(rec.privateKey, sizeof rec.privateKey, 0);
  R3410_256_PubKey(params, rec.publicKey, rec.privateKey);
  rec.publicLength = 64;
  rec.privateLength = 32;
  logLine(__LINE__, "getSendPacket_SYNRQ", "Cert to VESK: NO CERT USER");
  material.assign(reinterpret_cast<uint8_t*>(&rec), reinterpret_cast<uint8_t*>(&rec) + sizeof rec);
  DRV_Wipe(&rec, sizeof rec);
  DRV_Wipe(work, sizeof work);
}

}  // namespace

int32_t getSendPacket_SYNRQ(int client) {
  logLine(__LINE__, "getSendPacket_SYNRQ", "clientNumber: " + std::to_string(client));
  std::vector<uint8_t> material;
  if (connect_data.profileType == 0) {
    int32_t status = materialFromClient(client, material);
    if (status != 0) return status;
  } else if (connect_data.profileType == 1) {
    ephemeralMaterial(material);
  } else {
    logLine(__LINE__, "getSendPacket_SYNRQ", "----- FATAL ERROR ----- NO PROFILE TYPE -----");
  }
  DrvReply reply;
  uint32_t n = static_cast<uint32_t>(material.size());
  int32_t r = DRV_Request(RQC_MAKESYNRQ, material.data(), n, n, reply);
  DRV_Wipe(material.data(), material.size());
  if (r == DRV_REPLY_BAD_MAGIC) {
    logLine(__LINE__, "getSendPacket_SYNRQ", "Wrong driver answer");
    return -1;
  }
  if (r != 0) {
    const char* lead = r == reply.header.status ? "Got apt_treaterrcode " : "DRV_Request error ";
    logLine(__LINE__, "getSendPacket_SYNRQ", lead + std::to_string(r));
    return r;
  }
  if (sizeof(DrvRequestHeader) + reply.payload.size() > ENGINE_PACKET_SIZE) {
    logLine(__LINE__, "getSendPacket_SYNRQ", "SYNRQ packet too long");
    return DRV_REPLY_MALFORMED;
  }
  std::memcpy(Packet, &reply.header, sizeof reply.header);
  if (!reply.payload.empty())
    std::memcpy(Packet + sizeof reply.header, reply.payload.data(), reply.payload.size());
  packetLen = static_cast<uint32_t>(sizeof reply.header + reply.payload.size());
  takeSendRules(reply.header);
  return 0;
}

int32_t getSendPacket_SYNRQ_checkavailable(uint32_t gateway, uint16_t* port, uint8_t* buf,
                                           uint32_t* len) {
  (void)gateway;  // the filter builds the probe for the connection it holds
  if (!port || !buf || !len || *len == 0) return -1;
  DrvReply reply;
  int32_t r = DRV_Request(RQC_MAKESYNRQ_CHECKAVAILABLE, nullptr, 0, 0, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.size() > *len) return -1;
  if (!reply.payload.empty()) std::memcpy(buf, reply.payload.data(), reply.payload.size());
  *len = static_cast<uint32_t>(reply.payload.size());
  *port = static_cast<uint16_t>(reply.header.port & 0xFFFF);
  return 0;
}

int32_t treatRecvPacket_SYNRQ_checkavailable(const uint8_t* buf, uint32_t len) {
  if (!buf || len == 0) return -1;
  DrvReply reply;
  int32_t r = DRV_Request(RQC_TREATSYNRQ_CHECKAVAILABLE, buf, len, len, reply);
  return r == DRV_REPLY_BAD_MAGIC ? -1 : r;
}

int32_t treatReceivedPacket(uint8_t* buf, uint32_t len, uint32_t* offset, uint32_t room) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_TREATPACKET, buf, len, len, reply);
  if (r == DRV_REPLY_MALFORMED) return reply.header.magic == DRV_REQUEST_MAGIC ? DRV_REPLY_MALFORMED : -1;
  if (r != 0 && r != DRV_REPLY_BAD_MAGIC && r != reply.header.status) return r;
  if (reply.header.magic != DRV_REQUEST_MAGIC) return -1;
  filterState = reply.header.state;
  int32_t status = reply.header.status;
  // The answer goes over the caller's buffer: one that does not fit is refused.
  if (reply.payload.size() > room) {
    DRV_Wipe(reply.payload.data(), reply.payload.size());
    return DRV_REPLY_MALFORMED;
  }
  if (!reply.payload.empty()) std::memcpy(buf, reply.payload.data(), reply.payload.size());
  DRV_Wipe(reply.payload.data(), reply.payload.size());
  if (status == 0) {
    if (offset) *offset = reply.header.reserved;
    if (filterState == CS_APP_SYNOK) getConfig();
  }
  return status;
}

int32_t treatSendPacket_SYNOK() {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_MAKESYNOK, nullptr, 0, packetLen, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.size() > ENGINE_PACKET_SIZE) return DRV_REPLY_MALFORMED;
  if (!reply.payload.empty()) std::memcpy(Packet, reply.payload.data(), reply.payload.size());
  packetLen = static_cast<uint32_t>(reply.payload.size());
  takeSendRules(reply.header);
  return 0;
}

int32_t createTransportKey(const uint8_t* buf, uint32_t len) {
  DrvReply reply;
  return DRV_Request(RQC_CREATETRANSPORTKEY, buf, len, len, reply);
}

int32_t setKeys(SetConnectKeys* block) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_SETKEYS, block, sizeof *block, sizeof *block, reply);
  if (r == 0) filterState = reply.header.state;
  GetRandomEx(block, sizeof *block, 0);
  DRV_Wipe(reply.payload.data(), reply.payload.size());
  return r == DRV_REPLY_BAD_MAGIC ? -2 : r;
}

int32_t setClientSocketData(uint32_t localIp, uint32_t localPort) {
  uint32_t data[2] = {localIp, localPort};
  DrvReply reply;
  int32_t r = DRV_Request(RQC_SETCLIENTSOCKET, data, sizeof data, sizeof data, reply);
  if (r == 0) filterState = reply.header.state;
  return r == DRV_REPLY_BAD_MAGIC ? -2 : r;
}

int32_t sendProxyState(int code, const void* data, uint32_t len) {
  DrvReply reply;
  int32_t r = DRV_Request(code, data, len, len, reply);
  if (r == 0) filterState = reply.header.state;
  if (r == 0 || r == DRV_REPLY_BAD_MAGIC || r == DRV_REPLY_MALFORMED || r == reply.header.status) return 0;
  return r;
}

int32_t getNextSynNumber(uint8_t* number) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETNEXTSYNPACKETNUMBER, nullptr, 0, 0, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.empty()) return -2;
  *number = reply.payload[0];
  return 0;
}

int32_t getStageTimeout(uint32_t& seconds) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETSTAGETIMEOUT, nullptr, 0, 0, reply);
  if (r == DRV_REPLY_BAD_MAGIC) return -1;
  if (r != 0) return r;
  if (reply.payload.size() != 4) return -2;
  std::memcpy(&seconds, reply.payload.data(), 4);
  return 0;
}

void FillConnectKeys(uint16_t localPort) {
  std::memset(&setconnectkeys, 0, sizeof setconnectkeys);
  setconnectkeys.localIp = hostlocalipaddress;
  setconnectkeys.localPort = localPort;
  std::memcpy(setconnectkeys.keyBlock, tbuff, sizeof setconnectkeys.keyBlock);
  const uint32_t zeroKey[8] = {};
  setconnectkeys.check = connectGost ? ImPrefix(bukuz, zeroKey, setconnectkeys.keyBlock, 64)
                                     : ImPrefixMAGMA(zeroKey, setconnectkeys.keyBlock, 64);
}
