#pragma once
// What the connection stages' files share: one attempt's running values,
// the stage functions that ConnectToVesk runs in order, and the helpers of
// their log lines. Private to those files.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Service/common/core/connection_stages.h"
#include "Service/common/core/status_file.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"

// The stages' log lines and disconnect reasons carry one source name,
// whichever stage file they come from: one attempt's lines read as one source.
inline constexpr char kConnectionStagesSource[] = "connection_stages.cpp";
#define logLine(text) \
  GetLog().WriteToLogFL(kConnectionStagesSource, __LINE__, "ConnectToVesk", std::string(text).c_str())
#define DISCONNECT(reason) disConnect(reason, 0, kConnectionStagesSource, __LINE__)

namespace connect_attempt {

using Clock = std::chrono::steady_clock;

inline std::string num(long long v) { return std::to_string(v); }

inline std::string dotted(uint32_t ip) {
  return num(ip >> 24) + "." + num((ip >> 16) & 0xFF) + "." + num((ip >> 8) & 0xFF) + "." + num(ip & 0xFF);
}

template <size_t N>
std::string field(const char (&text)[N]) {
  return FieldToString(reinterpret_cast<const uint8_t*>(text), N);
}

inline uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// One attempt's running values.
struct Attempt {
  int client;
  int32_t* error;
  int32_t alternative;
  int32_t result = CONNECT_OK;
  const char* cancelReason = nullptr;  // the disconnect reason of a -9998 exit
  bool hasPushDeadline = false;
  Clock::time_point pushDeadline{};

  bool fail(int32_t r, int32_t e) {
    result = r;
    *error = e;
    return false;
  }
};

using Stage = bool (*)(Attempt&);

// The SYN request and its material (stage_syn_request.cpp).
void loadRadiusJson();
bool noInit(Attempt& a);
bool appSynRq(Attempt& a);
bool pConnecting(Attempt& a);
// The gateway's handshake replies (stage_handshake_replies.cpp).
bool waitSynRr(Attempt& a);
bool appSynOk(Attempt& a);
bool waitSynOkf(Attempt& a);
bool appKeys(Attempt& a);
// The tunnel's set-up once connected (stage_tunnel_setup.cpp).
bool connected(Attempt& a);

}  // namespace connect_attempt
