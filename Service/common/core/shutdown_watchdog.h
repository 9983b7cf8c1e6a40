#pragma once
// The watchdog of the daemon's shutdown. It is a thread of the daemon, not a
// second process: it holds no descriptor of the daemon beyond the daemon's
// life, and an orderly end (_exit) ends it too. When the shutdown still runs
// kWatchdogLastActMs before its bound, the watchdog takes the tunnel down
// on a filter socket of its own (a request that hangs cannot hold it up),
// then, at the bound at the latest, ends the daemon.

// How long before the bound the watchdog's disconnect starts (ms).
constexpr unsigned kWatchdogLastActMs = 2000;

// Starts the watchdog of a shutdown that may take boundMs in all. end is
// its last act; null means SIGKILL of the daemon.
void StartShutdownWatchdog(unsigned boundMs, void (*end)() = nullptr);
