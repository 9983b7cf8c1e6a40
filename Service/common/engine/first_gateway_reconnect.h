#pragma once
// After a connect to an alternative gateway address: waits the given
// minutes, probes the first gateway with an availability request and, when
// it answers and the same tunnel is still up, disconnects and pushes
// message 54 to every client.
#include <atomic>
#include <cstdint>
#include <thread>

constexpr uint32_t MSG_RECONNECT_FIRST_GATEWAY = 54;

// The wait, injectable (tests); the default sleeps minutes x 60000 ms.
extern void (*ReconnectToFirstVESK_wait)(uint32_t minutes);
// Counts the tunnels ended (every DisconnectNative): a timer acts only when
// the count is what it was when the timer was set, so a stale timer never
// tears down a later tunnel.
extern std::atomic<uint32_t> g_tunnel_generation;
extern std::thread ReconnectToFirstVESKwait_thread;

// The thread's body; generation is g_tunnel_generation when it was set.
void ReconnectToFirstVESKwait_thread_function(uint32_t minutes, uint32_t generation);
// Starts the thread (detached) for minutes.
void StartReconnectToFirstVESK(uint32_t minutes);
