#pragma once
// After a connect to an alternative gateway address: waits the given
// minutes, probes the first gateway with an availability request and, when
// it answers and the same tunnel is still up, disconnects and pushes
// message 54 to every client.
#include <cstdint>
#include <thread>

constexpr uint32_t MSG_RECONNECT_FIRST_GATEWAY = 54;

// The wait, injectable (tests); the default sleeps minutes x 60000 ms.
extern void (*ReconnectToFirstVESK_wait)(uint32_t minutes);
// Counts tunnels brought up: the timer acts only on the tunnel it was set for.
extern uint32_t g_tunnel_generation;
extern std::thread ReconnectToFirstVESKwait_thread;

void ReconnectToFirstVESKwait_thread_function(uint32_t minutes);
// Starts the thread (detached) for minutes.
void StartReconnectToFirstVESK(uint32_t minutes);
