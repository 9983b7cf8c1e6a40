#include "Service/common/engine/gateway_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/event_dispatcher.h"
#include "Service/common/engine/exit_safe_thread.h"
#include "Service/common/engine/handshake_requests.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/sleep.h"

int conn_socket = 0;
int lerr = 0;
uint32_t dataoffs = 0;
bool openSocket_signalsset = false;
unsigned sendSocket_RetryMs = 100;

namespace {

constexpr uint32_t MIN_DATAGRAM = 21;       // 1 to 20 bytes are too short outside the handshake
constexpr uint32_t TOO_SHORT_STATUS = 16;
constexpr int SEND_RETRIES = 10;
constexpr uint32_t RECV_NONE = 0x10000000;
// Datagrams one wake-up handles at most before it waits again.
constexpr int WATCH_BURST = 64;
constexpr int WATCH_TICK_MS = 250;

int g_wakeFd = -1;  // SIGIO -> watcher
std::atomic<bool> g_watchStop{false};
ExitSafeThread g_watcher;

void logLine(int line, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, "checkPacket", text.c_str());
}

void closeGatewaySocket() {
  if (conn_socket != 0) close(conn_socket);
  conn_socket = 0;
}

bool gatewayReadable() {
  if (conn_socket == 0) return false;
  pollfd p{conn_socket, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLERR)) != 0;
}

// Runs checkPacket for what SIGIO announced, while the tunnel is up.
void watchGateway() {
  while (!g_watchStop.load()) {
    pollfd p{g_wakeFd, POLLIN, 0};
    if (poll(&p, 1, WATCH_TICK_MS) <= 0) continue;
    uint64_t n;
    if (read(g_wakeFd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) continue;
    for (int i = 0; i < WATCH_BURST && filterState > CS_APP_KEYS && gatewayReadable(); ++i)
      if (checkPacket() != 0) break;
  }
}

void installSignalPath() {
  g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  struct sigaction sa {};
  sa.sa_handler = socketSIG_handler;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGIO);
  // SIGIO may land on any thread of the daemon: interrupted calls restart
  // instead of failing with EINTR in code that does not expect it.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGIO, &sa, nullptr);
  g_watchStop = false;
  g_watcher.thread = std::thread(watchGateway);
  openSocket_signalsset = true;
}

}  // namespace

void socketSIG_handler(int sig) {
  if (sig != SIGIO || filterState <= CS_APP_KEYS || g_wakeFd < 0) return;
  int saved = errno;
  uint64_t one = 1;
  ssize_t ignored = write(g_wakeFd, &one, sizeof one);
  (void)ignored;
  errno = saved;
}

int32_t initSocket() {
  lerr = 0;
  return 0;
}

int32_t openSocket() {
  if (!openSocket_signalsset) installSignalPath();
  closeGatewaySocket();
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    lerr = errno;
    return -1;
  }
  conn_socket = s;
  return 0;
}

int32_t connectSocket(uint32_t gateway, uint16_t port, uint16_t* localPort, uint32_t* localIp) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(gateway);
  sockaddr_in self{};
  socklen_t len = sizeof self;
  if (connect(conn_socket, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
      getsockname(conn_socket, reinterpret_cast<sockaddr*>(&self), &len) != 0) {
    lerr = errno;
    closeGatewaySocket();
    return -1;
  }
  if (localPort) *localPort = ntohs(self.sin_port);
  if (localIp) *localIp = ntohl(self.sin_addr.s_addr);
  fcntl(conn_socket, F_SETOWN, getpid());
  fcntl(conn_socket, F_SETFL, fcntl(conn_socket, F_GETFL) | O_ASYNC);
  lerr = 0;
  return 0;
}

int32_t sendSocket(const void* data, uint32_t len) {
  for (int attempt = 0;; ++attempt) {
    if (send(conn_socket, data, len, MSG_NOSIGNAL) >= 0) {
      lerr = 0;
      return 0;
    }
    lerr = errno;
    if (lerr != EINTR || attempt == SEND_RETRIES) break;
    utl_SleepMs(sendSocket_RetryMs);
  }
  closeGatewaySocket();
  return -1;
}

uint32_t checkPacket() {
  treatReceivedPacket_Error = 0;
  if (conn_socket == 0) return 0;  // no socket: nothing can wait (0 is not ours to read)
  uint8_t buf[ENGINE_PACKET_SIZE];
  ssize_t n = recv(conn_socket, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  if (n < 0) {
    int e = errno;
    if (filterState != CS_CONNECT) {
      logLine(__LINE__, "recv error on sync, code " + std::to_string(e));
      treatReceivedPacket_Error = e;
      return static_cast<uint32_t>(e);
    }
    disConnect("VESK socket receive error", 0, __FILE__, __LINE__);
    logLine(__LINE__, "VESK connection closed");
    AnnounceOwnDisconnect();
    OnDriverEvent(DRV_EVENT_SOCKET_ERROR);
    return static_cast<uint32_t>(e);
  }
  uint32_t got = static_cast<uint32_t>(n);
  if (filterState != CS_WAIT_SYNRR && filterState != CS_WAIT_SYNOKF) {
    if (filterState == CS_CONNECT) return 0;
    if (got >= 1 && got < MIN_DATAGRAM) {
      logLine(__LINE__, "Received VESK packet too small");
      treatReceivedPacket_Error = TOO_SHORT_STATUS;
      return 1;
    }
    if (filterState == CS_APP_KEYS) return 0;
  }
  std::memcpy(tbuff, buf, got);
  treatReceivedPacket_Error = treatReceivedPacket(tbuff, got, &dataoffs, sizeof tbuff);
  return 0;
}

uint32_t recvWinsock(void* buf, uint32_t len) {
  if (conn_socket == 0) return RECV_NONE + EBADF;
  ssize_t n = recv(conn_socket, buf, len, MSG_DONTWAIT);
  if (n >= 0) return static_cast<uint32_t>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK) return RECV_NONE;
  return RECV_NONE + static_cast<uint32_t>(errno);
}

int32_t closeWinsock() {
  closeGatewaySocket();
  return 0;
}

int32_t deinitWinsock() { return closeWinsock(); }

void GatewaySocket_Stop() {
  if (openSocket_signalsset) {
    g_watchStop = true;
    g_watcher.join();
    signal(SIGIO, SIG_IGN);
    close(g_wakeFd);
    g_wakeFd = -1;
    openSocket_signalsset = false;
  }
  closeGatewaySocket();
}
