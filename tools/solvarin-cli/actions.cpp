#include "Service/common/core/connect_requests.h"
#include "tools/solvarin-cli/actions.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/output.h"
#include "tools/solvarin-cli/reply_words.h"
#include "tools/solvarin-cli/status_report.h"

namespace {

const char kDaemonGone[] = "error: the daemon closed the connection";

// Word i as a number (ActionWordsError has checked it); 0 when absent.
uint32_t numberAt(const std::vector<std::string>& words, size_t i) {
  uint32_t v = 0;
  if (i < words.size()) ParseNumberWord(words[i], &v, true);
  return v;
}

std::string restFrom(const std::vector<std::string>& words, size_t i) {
  std::string text;
  for (; i < words.size(); i++) text += (text.empty() ? "" : " ") + words[i];
  return text;
}

void putText(ServicePipeMessage_t* msg, const std::string& text) {
  memcpy(msg->payload, text.data(), std::min<size_t>(text.size(), IPC_PAYLOAD_SIZE - 1));
}

// Says the line, and keeps it in lines when given.
void tell(const std::string& line, std::vector<std::string>* lines) {
  SayLine(line);
  if (lines != nullptr) lines->push_back(line);
}

// "to gateway A.B.C.D (profile type N, tunnel group G)" from the options.
std::string connectTarget(const Options& opt) {
  if (!opt.haveConnect) return opt.profile.empty() ? "with empty connect data" : "with the profile file's connect data";
  std::string text = "to gateway " + DottedAddress(opt.connect.gatewayIp) + " (profile type " +
                     std::to_string(opt.connect.profileType);
  if (opt.connect.tunnelGroup[0] != 0) text += std::string(", tunnel group ") + opt.connect.tunnelGroup;
  return text + ")";
}

ActionResult requestAction(const std::vector<std::string>& words, ClientSession* session) {
  auto msg = session->NewMessage(numberAt(words, 1));
  RequestValues values{numberAt(words, 2), numberAt(words, 3)};
  msg->result = values.first;
  msg->value1 = values.second;
  msg->value2 = numberAt(words, 4);
  putText(msg.get(), restFrom(words, 5));
  if (!session->Request(msg.get())) {
    SayError(kDaemonGone);
    return {kExitNoDaemon, true};
  }
  Say("reply " + DescribeMessage(*msg));
  Meaning m = RequestReplyMeaning(*msg, values);
  if (!m.words.empty()) Say("  = " + m.words);
  if (msg->code == 1) session->NoteState(msg->result);
  return {m.exitCode, false};
}

ActionResult interruptAction(ClientSession* session) {
  auto msg = session->NewMessage(30);
  if (!session->Request(msg.get())) {
    SayError(kDaemonGone);
    return {kExitNoDaemon, true};
  }
  Say("reply " + DescribeMessage(*msg));
  Say("  = " + RequestReplyMeaning(*msg, {}).words);
  return {kExitOk, false};
}

}  // namespace

int ConnectAction(ClientSession* session, const Options& opt, uint32_t code, uint32_t flag) {
  auto msg = session->NewMessage(code);
  msg->result = flag;
  PutConnectData(opt, msg->payload);
  Say("connecting: " + connectTarget(opt));
  auto start = std::chrono::steady_clock::now();
  if (!session->ConnectionRequest(msg.get())) {
    SayError(kDaemonGone);
    return kExitNoDaemon;
  }
  auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  ConnectContext context{session->PkiVerdict(), opt.haveGateway ? DottedAddress(opt.connect.gatewayIp) : "",
                         static_cast<unsigned>(took.count())};
  Say("reply " + DescribeMessage(*msg));
  Meaning m = ConnectionReplyMeaning(*msg, context);
  Say("  = " + m.words);
  if (m.exitCode == kExitOk) session->NoteState(msg->value1);
  return m.exitCode;
}

int DisconnectAction(ClientSession* session, uint32_t code, const std::string& reason, std::vector<std::string>* lines) {
  auto msg = session->NewMessage(code);
  putText(msg.get(), reason);
  if (!session->ConnectionRequest(msg.get())) {
    tell(kDaemonGone, lines);
    return kExitNoDaemon;
  }
  tell("reply " + DescribeMessage(*msg), lines);
  Meaning m = ConnectionReplyMeaning(*msg);
  tell("  = " + m.words, lines);
  session->NoteState(msg->result);
  return m.exitCode;
}

ActionResult RunAction(const std::vector<std::string>& words, ClientSession* session, const Options& opt) {
  if (words.empty()) return {kExitOk, false};
  const std::string& action = words[0];
  std::string wrong = ActionWordsError(words, opt);
  if (!wrong.empty()) {
    SayError("error: " + wrong);
    return {kExitUsage, false};
  }
  if (action == "quit") return {kExitOk, true};
  if (action == "listen") {
    std::this_thread::sleep_for(std::chrono::milliseconds(numberAt(words, 1)));
    return {kExitOk, false};
  }
  if (action == "request") return requestAction(words, session);
  if (action == "interrupt") return interruptAction(session);
  if (action == "status") {
    int code = StatusAction(session, words.size() > 1 && words[1] == "--json");
    return {code, code == kExitNoDaemon};
  }
  if (action == "connect" || action == "connect-alt") {
    int code = ConnectAction(session, opt, action == "connect" ? IPC_CMD_CONNECT : IPC_CMD_CONNECT_ALT, numberAt(words, 1));
    return {code, code == kExitNoDaemon};
  }
  if (action == "disconnect" || action == "disconnect-force") {
    int code = DisconnectAction(session, action == "disconnect" ? IPC_CMD_DISCONNECT : IPC_CMD_DISCONNECT_FORCE,
                                restFrom(words, 1));
    return {code, code == kExitNoDaemon};
  }
  SayError("error: " + action + " runs only from the command line");
  return {kExitUsage, false};
}
