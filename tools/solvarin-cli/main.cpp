// solvarin-cli: a client program of the daemon for people, tests and the demo.
//
//   solvarin-cli [options] ACTION [ARGS...]   one action, then exit
//   solvarin-cli [options] -                  actions read line by line from stdin
//   solvarin-cli [connect options] up         connect, then own the tunnel in the background
//   solvarin-cli down                         end what `up` brought up
//
// Output, one line each: "registered id=N", "reply ...", "push ...",
// "  = WORDS" after a reply or push (its meaning), "connecting: ..." (the
// stages of a connect), "tunnel down: REASON", "answered ...", "push socket
// closed"; on standard error "error: ...", "note: ...", "interrupted" and
// the usage. The exit status is in exit_codes.h.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/solvarin-cli/actions.h"
#include "tools/solvarin-cli/background_owner.h"
#include "tools/solvarin-cli/cli_options.h"
#include "tools/solvarin-cli/client_session.h"
#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/output.h"
#include "tools/solvarin-cli/signal_watch.h"

namespace {

std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The actions of standard input, one a line, until its end or "quit": the
// status of the last action (blank lines and "quit" are none).
int runScript(ClientSession* session, const Options& opt) {
  int code = kExitOk;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> words = split(line);
    if (words.empty()) continue;
    if (words[0] == "quit") break;
    ActionResult r = RunAction(words, session, opt);
    code = r.exitCode;
    if (r.stop) break;
  }
  return code;
}

int runOneAction(ClientSession* session, const Options& opt) {
  int code = RunAction(opt.action, session, opt).exitCode;
  const std::string& action = opt.action[0];
  if (code == kExitOk && (action == "connect" || action == "connect-alt")) {
    SayError("note: this tunnel ends with this program; 'solvarin-cli ... up' keeps it up in the background");
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  BlockStopSignals();
  static Options opt;  // read by the push thread until the process ends
  std::string error;
  switch (ParseOptions(argc, argv, &opt, &error)) {
    case ParseOutcome::kHelp: fputs(kCliUsage, stdout); return kExitOk;
    case ParseOutcome::kVersion: printf("solvarin-cli %s\n", ZOR_VERSION); return kExitOk;
    case ParseOutcome::kBad:
      if (!error.empty()) fprintf(stderr, "solvarin-cli: %s\n", error.c_str());
      fputs("solvarin-cli --help tells the options and actions\n", stderr);
      return kExitUsage;
    case ParseOutcome::kRun: break;
  }
  const std::string& action = opt.action[0];
  if (action == "up") return RunUp(opt);
  if (action == "down") return RunDown(opt.action);
  // For scripts the JSON object alone goes to the output.
  bool quiet = action == "status" && opt.action.size() > 1 && opt.action[1] == "--json";
  ClientConnection conn;
  int code = RegisterClient(&conn, opt.kind, &error);
  if (code != kExitOk) {
    SayError("error: " + error);
    return code;
  }
  static ClientSession session(conn, opt.answers);
  if (!quiet) {
    Say("registered id=" + std::to_string(conn.id));
    session.StartPushReader();
  }
  WatchStopSignals(&session, [] {
    SayError("interrupted");
    _exit(kExitInterrupted);
  });
  return action == "-" ? runScript(&session, opt) : runOneAction(&session, opt);
}
