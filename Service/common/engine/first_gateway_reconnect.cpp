#include "Service/common/engine/first_gateway_reconnect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/handshake_requests.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/sleep.h"

namespace {

constexpr uint32_t PROBE_ROOM = 1024;
constexpr int PROBE_TRIES = 50;
constexpr unsigned PROBE_PAUSE_MS = 100;

void sleepMinutes(uint32_t minutes) { utl_SleepMs(minutes * 60000u); }

void logLine(int line, const char* text) {
  GetLog().WriteToLogFL(__FILE__, line, "ReconnectToFirstVESKwait_thread_function", text);
}

bool noProfile() { return connect_data.profileId == 0xFFFFFFFFu && connect_data.certId[0] == 0; }

// The tunnel the timer was set for is still the one up.
bool sameTunnelUp(uint32_t generation) {
  return UseServiceAlternalVESKIP != 0 && filterState == CS_CONNECT && g_tunnel_generation.load() == generation;
}

// Sends the availability probe to the first gateway; true when it answered
// and the filter found it available.
bool firstGatewayAnswers() {
  uint8_t buf[PROBE_ROOM];
  uint32_t len = sizeof buf;
  uint16_t port = 0;
  uint32_t gateway = connect_data.gatewayIp;
  if (getSendPacket_SYNRQ_checkavailable(gateway, &port, buf, &len) != 0) return false;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(gateway);
  bool sent = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && send(s, buf, len, 0) >= 0;
  ssize_t got = -1;
  for (int i = 0; sent && i < PROBE_TRIES; ++i) {
    got = recv(s, buf, sizeof buf, 0);
    if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    utl_SleepMs(PROBE_PAUSE_MS);
  }
  close(s);
  return got > 0 && treatRecvPacket_SYNRQ_checkavailable(buf, static_cast<uint32_t>(got)) == 0;
}

}  // namespace

void (*ReconnectToFirstVESK_wait)(uint32_t minutes) = sleepMinutes;
std::atomic<uint32_t> g_tunnel_generation{0};
std::thread ReconnectToFirstVESKwait_thread;

void ReconnectToFirstVESKwait_thread_function(uint32_t minutes, uint32_t generation) {
  if (minutes == 0 || noProfile() || !sameTunnelUp(generation)) return;
  ReconnectToFirstVESK_wait(minutes);
  logLine(__LINE__, "Timer for reconnecting with first VESK executed");
  // The tunnel may have gone or been replaced while the timer ran.
  if (!sameTunnelUp(generation) || !firstGatewayAnswers()) {
    logLine(__LINE__, "First VESK isn't available");
    return;
  }
  disConnect("Reconnect to primary VESK timer fired", 0, __FILE__, __LINE__);
  logLine(__LINE__, "Reconnecting by clients to first VESK");
  auto msg = std::make_unique<ServicePipeMessage_t>();
  std::memset(msg.get(), 0, sizeof *msg);
  msg->code = MSG_RECONNECT_FIRST_GATEWAY;
  msg->clientN = -1;
  Engine_Hooks().sendToClients(msg.get());
}

void StartReconnectToFirstVESK(uint32_t minutes) {
  if (ReconnectToFirstVESKwait_thread.joinable()) ReconnectToFirstVESKwait_thread.detach();
  ReconnectToFirstVESKwait_thread =
      std::thread(ReconnectToFirstVESKwait_thread_function, minutes, g_tunnel_generation.load());
  ReconnectToFirstVESKwait_thread.detach();
}
