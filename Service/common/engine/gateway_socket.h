#pragma once
// The daemon's UDP socket to the gateway. The connect attempt polls it with
// checkPacket during the handshake; once filterState is 7 SIGIO drives it:
// the handler only wakes the gateway watcher thread (async-signal-safe), and
// the watcher runs checkPacket, which may take the channel and log locks.
#include <cstdint>

extern int conn_socket;     // 0 = none
extern int lerr;            // errno of the last failure, 0 after success
extern uint32_t dataoffs;
extern bool openSocket_signalsset;
// Wait between EINTR retries of sendSocket (ms); tests shorten it.
extern unsigned sendSocket_RetryMs;

int32_t initSocket();   // 0
// Installs the SIGIO handler and watcher (first call), replaces conn_socket.
int32_t openSocket();
// Connects to gateway:port (host order), returns the local port and address
// (host order) and makes the socket signal-driven.
int32_t connectSocket(uint32_t gateway, uint16_t port, uint16_t* localPort, uint32_t* localIp);
int32_t sendSocket(const void* data, uint32_t len);
// At most one datagram: 0 nothing / handed over / dropped; 1 too short; errno.
uint32_t checkPacket();
void socketSIG_handler(int sig);
uint32_t recvWinsock(void* buf, uint32_t len);  // 0x10000000 (+errno) on none/error
int32_t closeWinsock();
int32_t deinitWinsock();
// Stops the watcher thread (bounded) and closes the socket; shutdown and tests.
void GatewaySocket_Stop();
