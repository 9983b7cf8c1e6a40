#pragma once
// The actions of solvarin-cli on a registered client: each sends its
// request, prints the reply and its meaning in words, and gives the exit
// status it leads to.
#include <string>
#include <vector>

#include "tools/solvarin-cli/cli_options.h"
#include "tools/solvarin-cli/client_session.h"

struct ActionResult {
  int exitCode;
  bool stop;  // quit, or the daemon is gone
};

// One action and its words (as on the command line or a line of a script).
ActionResult RunAction(const std::vector<std::string>& words, ClientSession* session, const Options& opt);
// IPC_CMD_CONNECT or IPC_CMD_CONNECT_ALT with the options' connect data;
// the flag goes at byte 8.
int ConnectAction(ClientSession* session, const Options& opt, uint32_t code, uint32_t flag);
// IPC_CMD_DISCONNECT or IPC_CMD_DISCONNECT_FORCE with a reason text; the reply and
// its words go into *lines as well as to the output when lines is given.
int DisconnectAction(ClientSession* session, uint32_t code, const std::string& reason,
                     std::vector<std::string>* lines = nullptr);
