#pragma once
// The life of the solvarind process: start-up against the filter, the
// 100 ms main loop, the termination sequence with its watchdog, and the
// orderly release of what start-up acquired.
#include <atomic>
#include <csignal>

// Set by the termination signals; the main loop acts on it.
extern volatile sig_atomic_t dmn_terminate_requested;
extern std::atomic<unsigned char> dmn_terminate_called;
extern volatile sig_atomic_t dmn_sigpipe_count;
// How long the watchdog lets a shutdown run before it kills the daemon (ms).
extern unsigned dmn_watchdog_ms;

// Start-up, main loop and termination; returns 0 only when start-up failed
// (an orderly shutdown ends the process with _exit(0)).
int ServiceMainFunction();
void ServiceMainFunctionEND();
// Installs the service core's handlers in the IPC server and its hooks in
// the engine (the tables through which both call the core), as start-up
// does before it looks for the filter.
void InstallServiceHandlers();
void dmn_terminate_signal(int);
void dmn_sigpipe(int);
// Makes SIGTERM, SIGQUIT and SIGINT start the termination and SIGPIPE be
// counted (sigaction, whatever the parent left ignored or blocked): the
// first thing the program does, so that no signal is lost during start-up.
void InstallTerminationHandlers();

// The process entry: "run_as_process" as the first argument stays in the
// foreground; otherwise the daemon detaches (1 when that fails).
int SolvarindMain(int argc, char** argv);
