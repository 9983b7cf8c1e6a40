#pragma once
// A generic-netlink family wrapped as a device handle with a control call
// and an event wait (command 1, version 1, attribute 1; a sequence counter
// of its own, no request code). Shipped for other callers; the request
// channel and the event listener do not use it.
#include <cstdint>

struct utl_drv_ipc_device {
  int32_t sock;
  int32_t familyId;  // -1 unknown
  uint32_t port;     // the port id the socket is bound to
};
static_assert(sizeof(utl_drv_ipc_device) == 12);

// Opens a socket bound to port, looks name (at most 127 characters) up; null on failure.
utl_drv_ipc_device* utl_drv_ipc_device_openex(const char* name, uint32_t port);
utl_drv_ipc_device* utl_drv_ipc_device_open(const char* name);  // port getpid() + 1
int utl_drv_ipc_device_close(utl_drv_ipc_device* dev);          // 1 for null, else 0
// Sends size bytes; with out, receives the reply's attribute (cut to
// *outSize, *outSize := copied). 0 success, 1 failure.
int utl_drv_ipc_device_iocontrol(utl_drv_ipc_device* dev, const void* in, uint32_t size, void* out,
                                 uint32_t* outSize);
utl_drv_ipc_device* utl_drv_ipc_event_open(const char* name);   // also F_SETOWN + O_ASYNC
int utl_drv_ipc_event_close(utl_drv_ipc_device* dev);
// 0 data came or timed out (*timedOut = 1); 1 error; timeout 0 waits forever.
int utl_drv_ipc_event_wait(utl_drv_ipc_device* dev, unsigned timeoutMs, int* timedOut);
