#pragma once
// The exit status of solvarin-cli: what scripts may rely on. --help lists
// them (kExitCodeTable).
constexpr int kExitOk = 0;              // the action did what was asked
constexpr int kExitRefused = 1;         // refused or failed: not allowed, busy, owned by another client, filter error
constexpr int kExitUsage = 2;           // bad options or action
constexpr int kExitNoDaemon = 3;        // solvarind is not running, is stopping, or does not answer
constexpr int kExitNoGateway = 4;       // the gateway is unreachable or does not answer
constexpr int kExitAuthentication = 5;  // the gateway or this client refused the other's credentials
constexpr int kExitInterrupted = 6;     // the connect attempt was cancelled, or a signal ended the client

#define SOLVARIN_CLI_EXIT_CODE_TABLE                                                        \
  "Exit status:\n"                                                                          \
  "  0  done (connected, disconnected, answered)\n"                                        \
  "  1  refused: not allowed (user id below 1000), busy, owned by another client,\n"       \
  "     or the filter refused the request\n"                                               \
  "  2  bad options or action\n"                                                           \
  "  3  no daemon: solvarind is not running, is stopping, or does not answer\n"            \
  "  4  no gateway: the gateway is unreachable or does not answer\n"                       \
  "  5  authentication: the gateway or this client refused the other's credentials\n"     \
  "  6  interrupted: the connect attempt was cancelled (interrupt, Ctrl-C, SIGTERM)\n"
