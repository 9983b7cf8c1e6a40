#pragma once
// The one way the engine ends a tunnel, plus the empty local-rules image
// load and the device close of shutdown.
#include <cstdint>

// Logs why and from where, clears the tunnel owner, resets "ConnStatus" and
// the status file, then sends RQC_DISCONNECT (8 bytes: 0, fromUser == 1).
// 0 when the filter accepted it, else DRV_Request's result.
int DisconnectNative(const char* reason, int fromUser, const char* file, int line);
// RQC_DISCONNECT alone (not from the user), sent on a socket of its own
// beside any request that hangs (SendIRP_OwnSocket): nothing else is reset
// or logged. 0 when the filter accepted it.
int DisconnectOnOwnSocket(unsigned replyTimeoutMs);
// The log line of DisconnectNative before the request (tests read it).
void DisconnectLogText(char* out, unsigned size, const char* reason, int fromUser,
                       const char* file, int line);
// Makes DisconnectNative the IPC server's disConnect handler (the other
// handlers stay as they are).
void Engine_InstallDisconnectHandler();
// Loads the empty rules image in one chunk of RQC_SETLOCALCFG.
int setFilterRulesWithoutConnect0();
int closeZorVPNDevice();  // 0, nothing to do
