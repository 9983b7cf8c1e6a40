// solvarin-cli: a client program of the daemon for people, tests and the demo.
//
//   solvarin-cli [options] ACTION [ARGS...]   one action, then exit
//   solvarin-cli [options] -                  actions read line by line from stdin
//
// Output, one line each: "registered id=N", "reply ...", "push ...",
// "  = WORDS" after a push it knows, "answered ...", "push socket closed",
// "error: ...".
#include <arpa/inet.h>
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

#include "Service/common/core/client_commands.h"
#include "Service/common/engine/engine_state.h"
#include "crypto/gost3410.h"
#include "cross/utils/socket_io.h"
#include "tools/solvarin-cli/client_connection.h"
#include "tools/solvarin-cli/push_words.h"

namespace {

const char kUsage[] =
    "usage: solvarin-cli [options] ACTION [ARGS...]   run one action\n"
    "       solvarin-cli [options] -                  read actions from standard input\n"
    "\n"
    "Talks to the solvarind daemon over its sockets in " IPC_RUN_DIR " (the daemon\n"
    "serves user ids of 1000 and more). Pushes from the daemon are printed as\n"
    "they come; the signature (58) and PKI check (59) requests are answered.\n"
    "\n"
    "Actions:\n"
    "  status                              connection state (command 1) and statistics\n"
    "  connect [FLAG] / connect-alt [FLAG] connect (3 / 4) with the profile's connect data\n"
    "  disconnect [REASON]                 disconnect the tunnel this client owns (6)\n"
    "  disconnect-force [REASON]           disconnect whoever owns it (7)\n"
    "  interrupt                           cancel a connect attempt in progress (30)\n"
    "  request CODE [RESULT [V1 [V2 [TEXT]]]]  any command of the request socket\n"
    "  listen MS                           only print pushes for MS milliseconds\n"
    "  quit                                end a script\n"
    "\n"
    "Connect data (a profile's):\n"
    "  --gateway A.B.C.D      the gateway's address\n"
    "  --profile-type N       0 certificate (signed by this client), 1 ephemeral key\n"
    "  --tunnel-group NAME    tunnel group (up to 20 characters)\n"
    "  --profile-id N         profile identifier\n"
    "  --auth-type N          extended authentication type (131 key agreement)\n"
    "  --profile FILE         the whole 1096-byte connect data from a file instead\n"
    "Answers to the daemon's requests:\n"
    "  --sign-answer HEX      material returned for 58 (default: the test key's)\n"
    "  --pki-verdict N        verdict returned for 59 (default: the block's own check)\n"
    "  --pki-answer HEX       key data returned for 59 (default: the gateway's key)\n"
    "  --no-answer            leave 58 and 59 unanswered\n"
    "Other:\n"
    "  --kind N               client kind in the registration (0 window client)\n"
    "  --help                 this text\n";

// The test key material of certificate profiles: a fixed private key whose
// public key leads the SYN request's material.
const uint8_t kTestPrivateKey[32] = {0x5a, 0x6f, 0x72, 0x4d, 0x61, 0x72, 0x6b, 0x01, 0x02, 0x03, 0x04,
                                     0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,
                                     0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};
const char kTestSubject[] = "CN=solvarin-cli test,OU=tests,DC=example";

struct Options {
  unsigned char kind = 0;
  std::vector<unsigned char> profile;
  ProfileConnectData connect{};
  bool haveConnect = false;
  std::vector<unsigned char> signAnswer;
  bool pkiVerdictGiven = false;
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

// The SYN request's material of the test key: its public key, then the subject.
std::vector<unsigned char> testKeyMaterial() {
  std::vector<unsigned char> material(64);
  R3410_256_PubKey(R34101_SelectParams(R3410_PARAMSET_256_A), material.data(), kTestPrivateKey);
  material.insert(material.end(), kTestSubject, kTestSubject + sizeof kTestSubject - 1);
  return material;
}

uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// The PKI block: 28 header bytes (lengths A at 4, B at 8, C at 20), then the
// B bytes (the gateway's certificate block) and the A bytes (its key). The
// verdict is 0 when the block is whole and carries a key; the key data
// returned are the key's 64 bytes.
uint32_t checkPkiBlock(const ServicePipeMessage_t& msg, std::vector<unsigned char>* key) {
  const uint8_t* block = msg.payload;
  uint64_t a = u32At(block + 4), b = u32At(block + 8), c = u32At(block + 20);
  if (a < 64 || 28 + a + b + c > IPC_PAYLOAD_SIZE) return 1;
  key->assign(block + 28 + b, block + 28 + b + 64);
  return 0;
}

// The answer to a synchronous push, written over it.
void answerPush(ServicePipeMessage_t* msg, const Options& opt) {
  if (msg->code == IPC_MSG_SIGN_SYN) {
    std::vector<unsigned char> material = opt.signAnswer.empty() ? testKeyMaterial() : opt.signAnswer;
    // The material's byte count goes at byte 16, where a client's answer
    // carries its byte count.
    msg->result = 0;
    msg->value2 = static_cast<uint32_t>(material.size());
    putPayload(msg, material);
  } else {
    std::vector<unsigned char> key;
    uint32_t verdict = checkPkiBlock(*msg, &key);
    if (opt.pkiVerdictGiven) verdict = opt.pkiVerdict;
    if (!opt.pkiAnswer.empty()) key = opt.pkiAnswer;
    memset(msg->payload, 0, IPC_PAYLOAD_SIZE);
    msg->value2 = verdict;
    msg->value1 = static_cast<uint32_t>(key.size());
    putPayload(msg, key);
  }
}

void readPushes(int fd, const Options& opt) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  char* bytes = reinterpret_cast<char*>(msg.get());
  while (recv_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) == static_cast<int>(IPC_MESSAGE_SIZE)) {
    say("push " + DescribeMessage(*msg));
    std::string words = DescribePush(*msg);
    if (!words.empty()) say("  = " + words);
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

// Command 1's answer in words: the state and whether an attempt runs; a
// stage with no attempt running is where a failed attempt stopped.
std::string stateWords(const ServicePipeMessage_t& reply) {
  static const char* const kStages[] = {"starting", "proxy", "SYN request", "waiting for the gateway",
                                        "checking the gateway", "waiting for the keys", "setting the keys"};
  uint32_t state = reply.result;
  if (state == 7) return "connected";
  if (state > 7) return "unknown state";
  if (reply.value1 == IPC_STATE_ATTEMPT_RUNNING) return std::string("connecting (") + kStages[state] + ")";
  if (state == 0) return "not connected";
  return std::string("connect failed (stopped at: ") + kStages[state] + ")";
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
  } else if (action == "status" || action == "interrupt") {
    fd = conn.requestSock;
    msg->code = action == "status" ? 1 : 30;
  } else if (action == "connect" || action == "connect-alt") {
    msg->code = action == "connect" ? 3 : 4;
    msg->result = numberAt(words, 1);
    if (opt.haveConnect) memcpy(msg->payload, &opt.connect, sizeof opt.connect);
    else putPayload(msg.get(), opt.profile);
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
  std::string meaning = action == "status" ? stateWords(*msg) : DescribeReply(*msg);
  if (!meaning.empty()) say("  = " + meaning);
  return true;
}

std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The connect data options; false for another option.
bool connectOption(const std::string& name, const std::string& value, Options* opt) {
  ProfileConnectData& c = opt->connect;
  if (name == "--gateway") {
    in_addr addr{};
    if (inet_pton(AF_INET, value.c_str(), &addr) != 1) throw std::invalid_argument("address");
    c.gatewayIp = ntohl(addr.s_addr);
  } else if (name == "--profile-type") {
    c.profileType = static_cast<uint32_t>(std::stoul(value));
  } else if (name == "--tunnel-group") {
    snprintf(c.tunnelGroup, sizeof c.tunnelGroup, "%s", value.c_str());
  } else if (name == "--auth-type") {
    c.authTypeExt = static_cast<uint8_t>(std::stoul(value, nullptr, 0));
  } else if (name == "--profile-id") {
    c.profileId = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
  } else {
    return false;
  }
  if (c.profileType == 0) snprintf(c.certText, sizeof c.certText, "%s", kTestSubject);
  opt->haveConnect = true;
  return true;
}

// Options first; returns the index of the first action word, -1 for --help.
int parseOptions(int argc, char** argv, Options* opt) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
    std::string name = argv[i];
    if (name == "--no-answer") {
      opt->answerPushes = false;
      continue;
    }
    if (name == "--help") return -1;
    if (i + 1 >= argc) break;
    std::string value = argv[++i];
    if (name == "--kind") opt->kind = static_cast<unsigned char>(std::stoul(value));
    else if (name == "--sign-answer") opt->signAnswer = fromHex(value);
    else if (name == "--pki-verdict") {
      opt->pkiVerdictGiven = true;
      opt->pkiVerdict = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    }
    else if (name == "--pki-answer") opt->pkiAnswer = fromHex(value);
    else if (connectOption(name, value, opt)) continue;
    else if (name == "--profile") {
      std::ifstream in(value, std::ios::binary);
      opt->profile.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (opt->profile.size() > sizeof(ProfileConnectData)) opt->profile.resize(sizeof(ProfileConnectData));
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
  if (first < 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (first >= argc) {
    fputs(kUsage, stderr);
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
