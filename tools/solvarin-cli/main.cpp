// solvarin-cli: a client program of the daemon for tests and the demo.
//
//   solvarin-cli [options] ACTION [ARGS...]   one action, then exit
//   solvarin-cli [options] -                  actions read line by line from stdin
//
// Actions:
//   request CODE [RESULT [VALUE1 [VALUE2 [TEXT]]]]  a command on the request socket
//   connect [FLAG] / connect-alt [FLAG]             code 3 / 4 on the connection socket
//   disconnect [REASON] / disconnect-force [REASON] code 6 / 7 on the connection socket
//   listen MS                                       only print pushes for MS milliseconds
//   quit
// Options:
//   --kind N            client kind sent in the hello (default 0, a window client)
//   --profile FILE      connection data (up to 1096 bytes) for connect requests
//   --sign-answer HEX   material returned for push 58 (result 0, value2 = its length)
//   --pki-verdict N     verdict returned for push 59 (at byte 16, default 0)
//   --pki-answer HEX    payload returned for push 59 (its length at byte 12)
//   --no-answer         leave pushes 58 and 59 unanswered
// Output, one line each: "registered id=N", "reply ...", "push ...",
// "answered ...", "push socket closed".
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cross/utils/socket_io.h"
#include "tools/solvarin-cli/client_connection.h"

namespace {

const size_t kProfileSize = 1096;

struct Options {
  unsigned char kind = 0;
  std::vector<unsigned char> profile;
  std::vector<unsigned char> signAnswer;
  uint32_t pkiVerdict = 0;
  std::vector<unsigned char> pkiAnswer;
  bool answerPushes = true;
};

std::mutex g_outLock;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_outLock);
  std::cout << line << std::endl;
}

std::vector<unsigned char> fromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

void putPayload(ServicePipeMessage_t* msg, const std::vector<unsigned char>& bytes) {
  size_t n = std::min<size_t>(bytes.size(), IPC_PAYLOAD_SIZE);
  if (n > 0) memcpy(msg->payload, bytes.data(), n);
}

// The answer to a synchronous push, written over it.
void answerPush(ServicePipeMessage_t* msg, const Options& opt) {
  if (msg->code == IPC_MSG_SIGN_SYN) {
    msg->result = 0;
    msg->value2 = static_cast<uint32_t>(opt.signAnswer.size());
    putPayload(msg, opt.signAnswer);
  } else {
    msg->value2 = opt.pkiVerdict;
    msg->value1 = static_cast<uint32_t>(opt.pkiAnswer.size());
    putPayload(msg, opt.pkiAnswer);
  }
}

void readPushes(int fd, const Options& opt) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  char* bytes = reinterpret_cast<char*>(msg.get());
  while (recv_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) == static_cast<int>(IPC_MESSAGE_SIZE)) {
    say("push " + DescribeMessage(*msg));
    if (!IPC_IsSynchronousPush(msg->code) || !opt.answerPushes) continue;
    answerPush(msg.get(), opt);
    if (send_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) < 0) break;
    say("answered " + DescribeMessage(*msg));
  }
  say("push socket closed");
}

uint32_t numberAt(const std::vector<std::string>& words, size_t i) {
  return i < words.size() ? static_cast<uint32_t>(std::stoul(words[i], nullptr, 0)) : 0;
}

std::string restFrom(const std::vector<std::string>& words, size_t i) {
  std::string text;
  for (; i < words.size(); i++) text += (text.empty() ? "" : " ") + words[i];
  return text;
}

void putText(ServicePipeMessage_t* msg, const std::string& text) {
  putPayload(msg, std::vector<unsigned char>(text.begin(), text.end()));
}

// Runs one action; false ends the program (quit, or the daemon is gone).
bool runAction(const std::vector<std::string>& words, const ClientConnection& conn, const Options& opt) {
  if (words.empty()) return true;
  const std::string& action = words[0];
  if (action == "quit") return false;
  if (action == "listen") {
    std::this_thread::sleep_for(std::chrono::milliseconds(numberAt(words, 1)));
    return true;
  }
  auto msg = std::make_unique<ServicePipeMessage_t>();
  memset(msg.get(), 0, sizeof *msg);
  msg->clientN = conn.id;
  int fd = conn.connectionSock;
  if (action == "request") {
    fd = conn.requestSock;
    msg->code = numberAt(words, 1);
    msg->result = numberAt(words, 2);
    msg->value1 = numberAt(words, 3);
    msg->value2 = numberAt(words, 4);
    putText(msg.get(), restFrom(words, 5));
  } else if (action == "connect" || action == "connect-alt") {
    msg->code = action == "connect" ? 3 : 4;
    msg->result = numberAt(words, 1);
    putPayload(msg.get(), opt.profile);
  } else if (action == "disconnect" || action == "disconnect-force") {
    msg->code = action == "disconnect" ? 6 : 7;
    putText(msg.get(), restFrom(words, 1));
  } else {
    say("error: unknown action " + action);
    return true;
  }
  if (!Exchange(fd, msg.get())) {
    say("error: the daemon closed the connection");
    return false;
  }
  say("reply " + DescribeMessage(*msg));
  return true;
}

std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Options first; returns the index of the first action word.
int parseOptions(int argc, char** argv, Options* opt) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
    std::string name = argv[i];
    if (name == "--no-answer") {
      opt->answerPushes = false;
      continue;
    }
    if (i + 1 >= argc) break;
    std::string value = argv[++i];
    if (name == "--kind") opt->kind = static_cast<unsigned char>(std::stoul(value));
    else if (name == "--sign-answer") opt->signAnswer = fromHex(value);
    else if (name == "--pki-verdict") opt->pkiVerdict = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    else if (name == "--pki-answer") opt->pkiAnswer = fromHex(value);
    else if (name == "--profile") {
      std::ifstream in(value, std::ios::binary);
      opt->profile.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (opt->profile.size() > kProfileSize) opt->profile.resize(kProfileSize);
    }
  }
  return i;
}

}  // namespace

int main(int argc, char** argv) {
  static Options opt;  // read by the push thread until the process ends
  int first = argc;
  try {
    first = parseOptions(argc, argv, &opt);
  } catch (const std::logic_error&) {
    first = argc;  // a number that is none
  }
  if (first >= argc) {
    fprintf(stderr, "usage: solvarin-cli [options] ACTION [ARGS...] | -\n");
    return 2;
  }
  ClientConnection conn;
  std::string error;
  if (!RegisterClient(&conn, opt.kind, &error)) {
    say("error: " + error);
    return 1;
  }
  say("registered id=" + std::to_string(conn.id));
  std::thread(readPushes, conn.pushSock, std::cref(opt)).detach();
  if (std::string(argv[first]) != "-") {
    try {
      return runAction(std::vector<std::string>(argv + first, argv + argc), conn, opt) ? 0 : 1;
    } catch (const std::logic_error&) {
      say("error: bad number");
      return 2;
    }
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    try {
      if (!runAction(split(line), conn, opt)) break;
    } catch (const std::logic_error&) {
      say("error: bad number in: " + line);
    }
  }
  return 0;
}
