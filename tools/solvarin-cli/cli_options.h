#pragma once
// solvarin-cli's command line: the options (connect data, answers to the
// daemon's requests, the client kind) before the action, the words each
// action takes, and the usage.
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
  bool haveGateway = false;               // --gateway given
  PushAnswers answers;
  std::vector<std::string> action;        // the action and its words; "-" reads them from stdin
};

enum class ParseOutcome { kRun, kHelp, kVersion, kBad };
// Parses argv with getopt_long (--opt value, --opt=value, -h, "--" ends the
// options; the action's words are taken as they stand): kBad for an option,
// value or action word it cannot take, with the reason in *error ("" when
// getopt_long has said it on standard error).
ParseOutcome ParseOptions(int argc, char** argv, Options* opt, std::string* error);
// What is wrong with an action and its words ("" nothing): an unknown
// action or word, a missing value, a connect without its gateway.
std::string ActionWordsError(const std::vector<std::string>& words, const Options& opt);
// The whole word as a number up to UINT32_MAX (decimal; with hex, also
// 0x-hex and leading-0 octal as strtoul reads them). False for anything else.
bool ParseNumberWord(const std::string& text, uint32_t* value, bool hex);
// The connect request's 1096 bytes as the options give them.
void PutConnectData(const Options& opt, uint8_t* payload);

extern const char kCliUsage[];
