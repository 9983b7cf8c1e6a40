#include "Service/common/core/connect_requests.h"
#include "tools/solvarin-cli/actions.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/output.h"
#include "tools/solvarin-cli/reply_words.h"
#include "tools/solvarin-cli/status_report.h"

namespace {

const char kDaemonGone[] = "error: the daemon closed the connection";

uint32_t numberAt(const std::vector<std::string>& words, size_t i) {
  return i < words.size() ? static_cast<uint32_t>(std::stoul(words[i], nullptr, 0)) : 0;
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
  Say(line);
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
    Say(kDaemonGone);
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
    Say(kDaemonGone);
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
  if (!session->ConnectionRequest(msg.get())) {
    Say(kDaemonGone);
    return kExitNoDaemon;
  }
  Say("reply " + DescribeMessage(*msg));
  Meaning m = ConnectionReplyMeaning(*msg, session->PkiVerdict());
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
  try {
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
  } catch (const std::logic_error&) {
    Say("error: bad number in: " + restFrom(words, 0));
    return {kExitUsage, false};
  }
  Say("error: unknown action " + action);
  return {kExitUsage, false};
}
