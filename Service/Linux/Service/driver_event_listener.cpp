#include "Service/Linux/Service/driver_event_listener.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "Service/common/engine/event_dispatcher.h"
#include "Service/common/engine/exit_safe_thread.h"
#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_watch.h"
#include "Service/common/engine/genl_family.h"
#include "cross/utils/log.h"
#include "cross/utils/sleep.h"

std::atomic<int32_t> driverevent_pid{0};
int ZorVpnEventNLSK = -1;
const char* nm_eventname = "SolvrnVpnEvent";
std::atomic<uint32_t> driversocketSIG_handler_dataavailable{0};
std::atomic<bool> driverevent_child_started{false};
std::atomic<bool> driverevent_child_failed{false};
std::atomic<uint32_t> DriverEvent_thread_function_mustbestopped{0};
unsigned DriverEvent_PollMs = 333;

namespace {

constexpr unsigned FAMILY_WAIT_MS = 11;
constexpr int LISTEN_TICK_MS = 200;   // the stop flag is seen within this
constexpr size_t DOORBELL_BUFFER = 65556;

ExitSafeThread g_listener, g_poller;

void logLine(int line, const char* function, const char* text) {
  GetLog().WriteToLogFL(__FILE__, line, function, text);
}

uint32_t eventPort() { return EVENT_PORT_BASE | static_cast<uint32_t>(getpid()); }

// The listener: counts every doorbell, draining all that wait at each wake.
void DriverEvent_thread_function(bool opened) {
  driverevent_child_started.exchange(true);
  driversocketSIG_handler_dataavailable = 0;
  if (!opened) {
    driverevent_child_failed.exchange(true);
    driverevent_pid = 0;
    return;
  }
  while (!DriverEvent_thread_function_mustbestopped.load()) {
    pollfd p{ZorVpnEventNLSK, POLLIN, 0};
    if (poll(&p, 1, LISTEN_TICK_MS) <= 0) continue;
    while (WaitEvent_NETLINK() == 0) driversocketSIG_handler_dataavailable.fetch_add(1);
  }
  CloseEvent_NETLINK();
  driverevent_pid = 0;
}

// The poller: one confirmation and one event per tick that saw doorbells.
void DriverEvent_thread_onMainPid_function() {
  bool startedSeen = false, failedSeen = false;
  while (!DriverEvent_thread_function_mustbestopped.load()) {
    if (!startedSeen && driverevent_child_started.load()) {
      startedSeen = true;
      char text[96];
      std::snprintf(text, sizeof text, "Daemon driver event process was started with pid: %i",
                    static_cast<int>(eventPort()));
      logLine(__LINE__, "DriverEvent_thread_onMainPid_function", text);
    }
    if (!failedSeen && driverevent_child_failed.load()) {
      failedSeen = true;
      logLine(__LINE__, "DriverEvent_thread_onMainPid_function", "ZorNFFilter event creation failed!");
    }
    if (driversocketSIG_handler_dataavailable.exchange(0) != 0) {
      logLine(__LINE__, "DriverEvent_thread_onMainPid_function", "ZorVpnEvent");
      EventReceiveConfirmation();
      OnDriverEvent(0);
    }
    int32_t port = driverevent_pid.load();
    FilterWatch_Tick(port > 0 ? static_cast<uint32_t>(port) : 0);
    utl_SleepMs(DriverEvent_PollMs);
  }
}

}  // namespace

int32_t DriverEventCreate() {
  DriverEventDestroy();  // a listener already running is stopped first
  DriverEvent_thread_function_mustbestopped = 0;
  driverevent_child_started = false;
  driverevent_child_failed = false;
  FilterWatch_Reset();
  // The socket is bound before its port is handed out: a doorbell rung at
  // once must find it, or the filter forgets the port and its events.
  bool opened = CreateEvent_NETLINK() == 0;
  driverevent_pid = opened ? static_cast<int32_t>(eventPort()) : 0;
  try {
    g_listener.thread = std::thread(DriverEvent_thread_function, opened);
  } catch (...) {
    driverevent_pid = 0;
    logLine(__LINE__, "DriverEventCreate", "ZorNFFilter event thread creating as clone failed!");
    return -1;
  }
  try {
    g_poller.thread = std::thread(DriverEvent_thread_onMainPid_function);
  } catch (...) {
    logLine(__LINE__, "DriverEventCreate", "ZorNFFilter event thread on main thread creating failed!");
    return -1;
  }
  logLine(__LINE__, "DriverEventCreate", "ZorNFFilter event thread was started");
  return static_cast<int32_t>(eventPort());
}

void DriverEventDestroy() {
  DriverEvent_thread_function_mustbestopped = 1;
  g_listener.join();
  g_poller.join();
  driverevent_pid = 0;
  CloseEvent_NETLINK();
}

int32_t CreateEvent_NETLINK() {
  FilterSeam seam = FilterSeam_Get();
  if (ZorVpnEventNLSK < 0) {
    ZorVpnEventNLSK = FilterSeam_OpenSocket(seam, eventPort());
    if (ZorVpnEventNLSK < 0) return 1;
  }
  if (EVENT_NETLINK_get_family_id(ZorVpnEventNLSK, nm_eventname) < 0) {
    CloseEvent_NETLINK();
    return 1;
  }
  return 0;
}

int32_t CloseEvent_NETLINK() {
  if (ZorVpnEventNLSK >= 0) close(ZorVpnEventNLSK);
  ZorVpnEventNLSK = -1;
  return 0;
}

int32_t WaitEvent_NETLINK() {
  if (ZorVpnEventNLSK < 1) return 1;
  uint8_t buf[DOORBELL_BUFFER];
  return recv(ZorVpnEventNLSK, buf, sizeof buf, MSG_DONTWAIT) >= 1 ? 0 : 1;
}

int32_t EVENT_NETLINK_get_family_id(int sock, const char* name) {
  return GenlLookupFamily(sock, FilterSeam_Get(), FilterSeam_BoundPort(sock), name, FAMILY_WAIT_MS);
}

int32_t EVENT_create_nl_socket(int protocol, uint32_t groups) {
  int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
  if (sock < 0) return -1;
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = static_cast<uint32_t>(getpid());
  self.nl_groups = groups;
  if (bind(sock, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}
