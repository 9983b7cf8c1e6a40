#pragma once
// solvarin-cli's command line: the options (connect data, answers to the
// daemon's requests, the client kind) before the action, and the usage.
#include <cstdint>
#include <string>
#include <vector>

#include "Service/common/engine/engine_state.h"

// How this client answers the daemon's synchronous requests 58 and 59.
struct PushAnswers {
  std::vector<unsigned char> signAnswer;  // empty: the test key's material
  bool pkiVerdictGiven = false;
  uint32_t pkiVerdict = 0;
  std::vector<unsigned char> pkiAnswer;   // empty: the gateway's key
  bool answer = true;                     // false: leave them unanswered
};

struct Options {
  unsigned char kind = 0;
  std::vector<unsigned char> profile;     // --profile FILE, when given
  ProfileConnectData connect{};           // from the connect data options
  bool haveConnect = false;
  PushAnswers answers;
  std::vector<std::string> action;        // the action and its words; "-" reads them from stdin
};

// Parses argv; false (with the reason in *error, "" for --help) when the
// program should print the usage instead of running.
bool ParseOptions(int argc, char** argv, Options* opt, std::string* error);
// The connect request's 1096 bytes as the options give them.
void PutConnectData(const Options& opt, uint8_t* payload);

extern const char kCliUsage[];
