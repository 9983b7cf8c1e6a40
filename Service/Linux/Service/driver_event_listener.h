#pragma once
// The driver event listener: a thread of the daemon with its own netlink
// socket and port id receives the filter's doorbells and counts them
// (draining with MSG_DONTWAIT, so coalesced doorbells never pile up); a
// poller thread looks at the count every 333 ms, confirms (IOCTL_CONFIRM)
// and has OnDriverEvent(0) fetch and handle one code; the same thread keeps
// the filter watch (filter_watch.h).
//
// The listener is a thread, not a clone() child sharing the daemon's heap:
// nothing in it can corrupt the daemon's allocator, and it needs no signals.
#include <atomic>
#include <cstdint>

// The listener's port id (what IOCTL_SETPID registers): EVENT_PORT_BASE |
// the process id, so it never takes the request socket's port (the process
// id); 0 when no listener runs.
constexpr uint32_t EVENT_PORT_BASE = 0x40000000;
extern std::atomic<int32_t> driverevent_pid;
extern int ZorVpnEventNLSK;                   // -1 when closed
extern const char* nm_eventname;              // "SolvrnVpnEvent"
extern std::atomic<uint32_t> driversocketSIG_handler_dataavailable;
extern std::atomic<bool> driverevent_child_started;
extern std::atomic<bool> driverevent_child_failed;
extern std::atomic<uint32_t> DriverEvent_thread_function_mustbestopped;
// Poller tick (ms); 333.
extern unsigned DriverEvent_PollMs;

// Opens the event socket, then starts both halves; the port id to
// register, or -1. A socket that cannot be opened (no event family) ends
// the listener at once: driverevent_pid 0, the poller logs it.
int32_t DriverEventCreate();
// Stops both (bounded waits) and closes the event socket.
void DriverEventDestroy();
int32_t CreateEvent_NETLINK();   // 0 success, 1 failure
int32_t CloseEvent_NETLINK();    // 0
// Reads one waiting doorbell without blocking; 0 when one came, 1 otherwise.
int32_t WaitEvent_NETLINK();
int32_t EVENT_NETLINK_get_family_id(int sock, const char* name);
// A raw socket of protocol bound to an own port with groups; -1.
int32_t EVENT_create_nl_socket(int protocol, uint32_t groups);
