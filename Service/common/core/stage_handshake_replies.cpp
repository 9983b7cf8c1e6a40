// The stages that wait for the gateway's handshake replies: the SYN RR and
// the PKI check it starts with the client, the SYN OK and the wait for the
// SYN OKF, and the session keys that follow.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Service/common/core/connect_attempt.h"
#include "Service/common/core/wiped_message.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/gateway_socket.h"
#include "Service/common/engine/handshake_requests.h"
#include "cross/common/drv_error.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/sleep.h"

namespace connect_attempt {

namespace {

const uint32_t kDefaultStageTimeout = 5;   // seconds, when the filter names none
const unsigned kPollMs = 25;
const unsigned kSynOkResends = 5;          // six SYN OK sends in all
const auto kPushPassMax = std::chrono::seconds(10);

uint32_t stageTimeout() {
  uint32_t seconds = 0;
  if (getStageTimeout(seconds) != 0 || seconds == 0) seconds = kDefaultStageTimeout;
  stage_timeout = seconds;
  return seconds;
}

// Polls the gateway socket until the deadline; done() ends the wait early.
// False when the attempt was cancelled.
template <typename Done>
bool waitForGateway(Attempt& a, Clock::time_point deadline, const char* cancelReason, Done done) {
  while (Clock::now() < deadline) {
    if (is_interupt_connecton(a.result, *a.error)) {
      a.cancelReason = cancelReason;
      return false;
    }
    if (checkPacket() != 0 || done()) return true;
    Sleep(kPollMs);
  }
  return true;
}

// The client checks the gateway's PKI block (push 59); its answer carries
// the key data for the transport key.
bool checkPkiData(Attempt& a) {
  logLine("CS_APP_SYNOK CHECK PKI DATA");
  PkiBlockHeader pki;
  memcpy(&pki, tbuff, sizeof pki);
  uint64_t total = uint64_t{sizeof pki} + pki.lengthA + pki.lengthB + pki.lengthC;
  if (total > sizeof tbuff || total > IPC_PAYLOAD_SIZE) {
    logLine("PKI block of " + num(static_cast<long long>(total)) + " bytes does not fit");
    DISCONNECT("PKI block too long");
    return a.fail(CONNECT_REFUSED, CONNECT_ERR_BAD_SIZE);
  }
  WipedMessage check(IPC_MSG_CHECK_PKI);
  check.msg->result = pki.lengthA + pki.lengthB;
  check.msg->value1 = connect_data.profileId;
  check.msg->value2 = PKI_CHECK_SUBCODE;
  memcpy(check.msg->payload, tbuff, total);
  if (pki.lengthC != 0 && pki.pushDeadline != 0) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto remaining = std::chrono::seconds(pki.pushDeadline) - now;
    if (remaining <= decltype(remaining)::zero()) {
      logLine("Push time exceeded before confirmation");
      return a.fail(CONNECT_NO_SYNOKF, CONNECT_ERR_PUSH_TIMEOUT);
    }
    if (remaining >= std::chrono::seconds(4294967296LL)) {
      logLine("Push waiting interval exceeds uint32 seconds");
      return a.fail(CONNECT_REFUSED, CONNECT_ERR_PUSH_TOO_LONG);
    }
    a.hasPushDeadline = true;
    a.pushDeadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(remaining);
  }
  // The wait for the answer is bounded by the IPC layer; a silent client
  // fails the attempt and is dropped, so it cannot hold the daemon.
  if (IPC_SendToClient(check.msg.get(), a.client) != 1) {
    logLine("Client #" + num(a.client) + " did not answer the PKI check - dropped");
    IPC_DropClient(a.client);
    a.cancelReason = "Initiator did not answer the PKI check";
    return a.fail(CONNECT_CANCELLED, CONNECT_ERR_CANCELLED);
  }
  if (check.msg->value2 != 0) {
    char text[128];
    snprintf(text, sizeof text, "CHECK PKI DATA error %i; msgToClient.Ret2: %i", static_cast<int>(check.msg->value2),
             static_cast<int>(check.msg->value1));
    logLine(text);
    return a.fail(CONNECT_REFUSED, static_cast<int32_t>(check.msg->value2));
  }
  logLine("VESK CMS Verify OK!");
  uint32_t keyLength = std::min<uint32_t>(check.msg->value1, IPC_PAYLOAD_SIZE);
  int32_t r = createTransportKey(check.msg->payload, keyLength);
  if (r != 0) {
    logLine("Create transport key error " + num(r));
    DISCONNECT("Failed to create transport key");
    return a.fail(CONNECT_REFUSED, r);
  }
  logLine("CS_APP_SYNOK CHECK PKI DATA OK!");
  return true;
}

void pushRefusalDetail(Attempt& a, int32_t e) {
  if (e == -16 || e == -15) {
    WipedMessage detail(IPC_MSG_SYNRR_REFUSED);
    detail.msg->result = u32At(tbuff);
    IPC_SendToClient(detail.msg.get(), a.client);
  } else if (e == CONNECT_ERR_OTP) {
    sendExtendedOTPError(a.client);
  }
}

}  // namespace

bool waitSynRr(Attempt& a) {
  logLine("CS_WAIT_SYNRR");
  treatReceivedPacket_Error = 0;
  closeWinsock();
  if (openSocket() != 0) {
    logLine("Open socket ERROR: " + num(errno));
    return a.fail(CONNECT_SOCKET_FAILED, lerr);
  }
  uint16_t localPort = 0;
  if (connectSocket(connect_data.gatewayIp, static_cast<uint16_t>(sendPacketRules.port), &localPort,
                    &hostlocalipaddress) != 0) {
    logLine("Connect socket ERROR: " + num(errno));
    return a.fail(CONNECT_SOCKET_FAILED, lerr);
  }
  setconnectkeys.localPort = localPort;
  uint32_t portWord;
  memcpy(&portWord, reinterpret_cast<const uint8_t*>(&setconnectkeys) + 12, 4);
  setClientSocketData(hostlocalipaddress, portWord);
  int32_t r = CreateAndSendSynRQPacket(Packet, ENGINE_PACKET_SIZE, a.error);
  if (r != 0) {
    a.result = r;
    return false;
  }
  bool ocsp = false;
  auto deadline = Clock::now() + std::chrono::seconds(stageTimeout());
  if (!waitForGateway(a, deadline, "Client interrupted connection while waiting for SYNRR", [&] {
        if (filterState == CS_APP_SYNOK || treatReceivedPacket_Error != 0) {
          ocsp = treatReceivedPacket_Error == CONNECT_ERR_OCSP;
          return true;
        }
        return false;
      })) {
    return false;
  }
  if (ocsp) {
    DISCONNECT("OCSP data error, restarting synchronization");
    filterState = CS_NOINIT;
    return a.fail(CONNECT_REFUSED, CONNECT_ERR_OCSP);
  }
  if (filterState == CS_APP_SYNOK) return checkPkiData(a);
  int32_t e = treatReceivedPacket_Error;
  pushRefusalDetail(a, e);
  return a.fail(CONNECT_REFUSED, e != 0 ? e : CONNECT_ERR_NO_STAGE);
}

bool appSynOk(Attempt& a) {
  logLine("CS_APP_SYNOK");
  treatReceivedPacket_Error = 0;
  int32_t r = treatSendPacket_SYNOK();
  if (r != 0) {
    logLine("treatSendPacket_SYNOK failed, code=" + num(r) + ": " + GetDrvError(r));
    DISCONNECT("Failed to build SYNOK packet");
    return a.fail(CONNECT_SYNOK_FAILED, r);
  }
  if (filterState != CS_WAIT_SYNOKF) {
    logLine("ConnectToVesk_CS_APP_WAIT_SYNOKF_ERROR");
    return a.fail(CONNECT_NO_SYNOKF, treatReceivedPacket_Error != 0 ? treatReceivedPacket_Error : CONNECT_ERR_NO_STAGE);
  }
  return true;
}

bool waitSynOkf(Attempt& a) {
  logLine("CS_WAIT_SYNOKF");
  unsigned resendsLeft = kSynOkResends;
  treatReceivedPacket_Error = 0;
  for (;;) {
    if (sendSocket(Packet, packetLen) != 0) {
      logLine("CS_WAIT_SYNOKF sendSocket error");
      DISCONNECT("Failed to send SYNOK packet");
      return a.fail(CONNECT_SOCKET_FAILED, lerr);
    }
    auto deadline = a.hasPushDeadline ? std::min(Clock::now() + kPushPassMax, a.pushDeadline)
                                      : Clock::now() + std::chrono::seconds(stageTimeout());
    if (!waitForGateway(a, deadline, "Client interrupted connection while waiting for SYNOKF", [] {
          if (filterState == CS_APP_KEYS) return true;
          if (treatReceivedPacket_Error == 0) return false;
          logLine("ERROR! WAITING SYNOKF (" + num(treatReceivedPacket_Error) + ")");
          return true;
        })) {
      return false;
    }
    if (filterState == CS_APP_KEYS || treatReceivedPacket_Error != 0) break;
    if (a.hasPushDeadline) {
      if (Clock::now() >= a.pushDeadline) {
        logLine("Push time exceeded!");
        return a.fail(CONNECT_NO_SYNOKF, CONNECT_ERR_PUSH_TIMEOUT);
      }
    } else if (resendsLeft-- == 0) {
      break;
    }
  }
  logLine("Finish waiting SYNOKF");
  if (filterState == CS_APP_KEYS) return true;
  int32_t e = treatReceivedPacket_Error;
  logLine("CS_APP_KEYS not set. Error: " + num(e));
  if (e == CONNECT_ERR_OKF_REFUSED) {
    WipedMessage detail(IPC_MSG_SYNOKF_REFUSED);
    memcpy(detail.msg->payload, tbuff, 76);
    IPC_SendToClient(detail.msg.get(), a.client);
  } else if (e == CONNECT_ERR_OTP) {
    sendExtendedOTPError(a.client);
  }
  a.fail(CONNECT_NO_SYNOKF, e != 0 ? e : CONNECT_ERR_NO_STAGE);
  logLine("ConnectToVesk_CS_APP_WAIT_SYNOKF_ERROR");
  if (filterState == CS_WAIT_SYNOKF) {
    DISCONNECT("SYNOKF wait failed, resetting filter state");
    filterState = CS_NOINIT;
  }
  return false;
}

bool appKeys(Attempt& a) {
  logLine("CS_APP_KEYS");
  stageTimeout();
  FillConnectKeys(setconnectkeys.localPort);
  int32_t r = setKeys(&setconnectkeys);
  if (r != 0) {
    logLine("CS_APP_KEYS setKeys error " + GetDrvError(r));
    DISCONNECT("Failed to set connection keys");
    return a.fail(CONNECT_KEYS_FAILED, r);
  }
  return true;
}

}  // namespace connect_attempt

using namespace connect_attempt;

void sendExtendedOTPError(int client) {
  logLine("CS_APP_SYNOK OTP INNER ERROR!");
  WipedMessage otp(IPC_MSG_OTP_ERROR);
  otp.msg->result = tbuff[0];
  logLine("OTP INNER ERROR CODE: " + num(tbuff[0]));
  IPC_SendToClient(otp.msg.get(), client);
}
