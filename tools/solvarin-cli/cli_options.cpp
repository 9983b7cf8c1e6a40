#include "tools/solvarin-cli/cli_options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "cross/utils/ipc_message.h"
#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/test_key.h"

const char kCliUsage[] =
    "usage: solvarin-cli [options] ACTION [ARGS...]   run one action\n"
    "       solvarin-cli [options] -                  read actions from standard input\n"
    "       solvarin-cli [connect options] up         connect, then own the tunnel in the background\n"
    "       solvarin-cli down                         take down the tunnel that 'up' brought up\n"
    "\n"
    "Talks to the solvarind daemon over its sockets in " IPC_RUN_DIR " (the daemon\n"
    "serves user ids of 1000 and more). Pushes from the daemon are printed as\n"
    "they come; the signature (58) and PKI check (59) requests are answered.\n"
    "Each 'reply ...' and 'push ...' line is followed by its meaning in words\n"
    "(\"  = ...\"); a connect shows its stages (\"connecting: ...\") and the end of\n"
    "the tunnel shows \"tunnel down: REASON\". Errors (\"error: ...\") and notes go\n"
    "to standard error, so that standard output holds only replies, pushes, their\n"
    "words and the JSON.\n"
    "\n"
    "Actions:\n"
    "  status [--json]                     the tunnel's state (command 1); --json: state,\n"
    "                                      gateway, tunnel address, group and counters\n"
    "  connect [FLAG] / connect-alt [FLAG] connect (3 / 4) with the profile's connect data\n"
    "  disconnect [REASON]                 disconnect the tunnel this client owns (6)\n"
    "  disconnect-force [REASON]           disconnect whoever owns it (7)\n"
    "  interrupt                           cancel a connect attempt in progress (30)\n"
    "  request CODE [RESULT [V1 [V2 [TEXT]]]]  any command of the request socket\n"
    "  listen MS                           only print pushes for MS milliseconds\n"
    "  quit                                end a script\n"
    "  up                                  connect (as 'connect'), then stay in the background\n"
    "                                      as the tunnel's owner, logging to syslog (and to\n"
    "                                      standard error while it is a terminal, a file or\n"
    "                                      the journal), until 'down', SIGTERM or the tunnel's end\n"
    "  down [REASON]                       ask this user's 'up' to disconnect and end\n"
    "A one-shot action (status, request) leaves another program's tunnel up; a\n"
    "tunnel brought up by a one-shot 'connect' ends with it: use 'up' for that.\n"
    "Ctrl-C (or SIGTERM) during a connect cancels the attempt.\n"
    "\n"
    "Connect data (a profile's):\n"
    "  --gateway A.B.C.D      the gateway's address\n"
    "  --profile-type 0|1     0 certificate (signed by this client), 1 ephemeral key\n"
    "  --tunnel-group NAME    tunnel group (up to 20 characters)\n"
    "  --profile-id N         profile identifier\n"
    "  --auth-type N          extended authentication type (131 key agreement)\n"
    "  --profile FILE         the whole 1096-byte connect data from a file instead\n"
    "connect, connect-alt and up need --gateway (or --profile).\n"
    "Answers to the daemon's requests:\n"
    "  --sign-answer HEX      material returned for 58 (default: the test key's)\n"
    "  --pki-verdict N        verdict returned for 59 (default: the block's own check)\n"
    "  --pki-answer HEX       key data returned for 59 (default: the gateway's key)\n"
    "  --no-answer            leave 58 and 59 unanswered\n"
    "Other:\n"
    "  --kind N               client kind in the registration (0 window client)\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "An option's value follows it (--gateway 203.0.113.1) or joins it with '='\n"
    "(--gateway=203.0.113.1); '--' ends the options.\n"
    "\n" SOLVARIN_CLI_EXIT_CODE_TABLE
    "A script ('-') exits with the status of its last action ('quit' is none).\n"
    "\n"
    "Examples:\n"
    "  solvarin-cli --gateway 203.0.113.1 --profile-type 1 up    connect, get the prompt back\n"
    "  solvarin-cli status                                       state in words\n"
    "  solvarin-cli status --json                                the same for scripts\n"
    "  solvarin-cli request 18 0 1                               statistics of table entry 1\n"
    "  solvarin-cli down                                         disconnect, end 'up'\n"
    "  printf 'connect\\nstatus\\ndisconnect\\n' | solvarin-cli --gateway 203.0.113.1 --profile-type 1 -\n";

namespace {

// A value the option cannot take, with the reason.
struct BadValue : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The options' short names for getopt_long; the long names below.
enum OptionId : int {
  kHelp = 'h', kKind = 256, kSignAnswer, kPkiVerdict, kPkiAnswer, kNoAnswer, kProfile, kGateway,
  kProfileType, kTunnelGroup, kAuthType, kProfileId, kVersion,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},           {"version", no_argument, nullptr, kVersion},
    {"kind", required_argument, nullptr, kKind},     {"sign-answer", required_argument, nullptr, kSignAnswer},
    {"pki-verdict", required_argument, nullptr, kPkiVerdict},
    {"pki-answer", required_argument, nullptr, kPkiAnswer},
    {"no-answer", no_argument, nullptr, kNoAnswer},  {"profile", required_argument, nullptr, kProfile},
    {"gateway", required_argument, nullptr, kGateway},
    {"profile-type", required_argument, nullptr, kProfileType},
    {"tunnel-group", required_argument, nullptr, kTunnelGroup},
    {"auth-type", required_argument, nullptr, kAuthType},
    {"profile-id", required_argument, nullptr, kProfileId},
    {nullptr, 0, nullptr, 0}};

// The whole text as a number of at most max (decimal, or 0x-hex where hex).
uint32_t number(const std::string& text, uint32_t max, bool hex = false) {
  uint32_t v = 0;
  if (!ParseNumberWord(text, &v, hex) || v > max) throw BadValue(v > max ? "out of range" : "not a number");
  return v;
}

std::vector<unsigned char> fromHex(const std::string& hex) {
  if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw BadValue("not an even count of hex digits");
  }
  std::vector<unsigned char> out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The connect data options (--gateway, --profile-type, --tunnel-group,
// --auth-type, --profile-id).
void connectOption(int id, const std::string& value, Options* opt) {
  ProfileConnectData& c = opt->connect;
  if (id == kGateway) {
    in_addr addr{};
    if (inet_pton(AF_INET, value.c_str(), &addr) != 1) throw BadValue("not an IPv4 address");
    c.gatewayIp = ntohl(addr.s_addr);
    opt->haveGateway = true;
  } else if (id == kProfileType) {
    if (value != "0" && value != "1") throw BadValue("not a profile type: 0 (certificate) or 1 (ephemeral key)");
    c.profileType = value == "1" ? 1 : 0;
  } else if (id == kTunnelGroup) {
    if (value.size() >= sizeof c.tunnelGroup) {
      throw BadValue("longer than " + std::to_string(sizeof c.tunnelGroup - 1) + " characters");
    }
    snprintf(c.tunnelGroup, sizeof c.tunnelGroup, "%s", value.c_str());
  } else if (id == kAuthType) {
    c.authTypeExt = static_cast<uint8_t>(number(value, UINT8_MAX, true));
  } else {
    c.profileId = number(value, UINT32_MAX, true);
  }
  if (c.profileType == 0) snprintf(c.certText, sizeof c.certText, "%s", kTestSubject);
  opt->haveConnect = true;
}

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BadValue("cannot be read");
  std::vector<unsigned char> bytes(std::istreambuf_iterator<char>(in), {});
  if (bytes.size() > sizeof(ProfileConnectData)) bytes.resize(sizeof(ProfileConnectData));
  return bytes;
}

// Takes one option with its value.
void takeOption(int id, const std::string& value, Options* opt) {
  switch (id) {
    case kKind: opt->kind = static_cast<unsigned char>(number(value, UINT8_MAX)); break;
    case kSignAnswer: opt->answers.signAnswer = fromHex(value); break;
    case kPkiVerdict:
      opt->answers.pkiVerdictGiven = true;
      opt->answers.pkiVerdict = number(value, UINT32_MAX, true);
      break;
    case kPkiAnswer: opt->answers.pkiAnswer = fromHex(value); break;
    case kNoAnswer: opt->answers.answer = false; break;
    case kProfile: opt->profile = fileBytes(value); break;
    default: connectOption(id, value, opt);
  }
}

std::string optionName(int id) {
  for (const option& o : kLongOptions) {
    if (o.val == id) return std::string("--") + o.name;
  }
  return "";
}

// The words of a connect that carries no gateway: a mistake, not a connect to 0.0.0.0.
bool needsGateway(const std::string& action) { return action == "connect" || action == "connect-alt" || action == "up"; }

// What is wrong with the words after the action ("" nothing): least to most
// of them, the first lastNumber of them numbers.
std::string wordsError(const std::vector<std::string>& words, size_t least, size_t most, size_t lastNumber) {
  const std::string& action = words[0];
  if (words.size() - 1 < least) return action + " needs " + (action == "request" ? "a command code" : "a value");
  if (words.size() - 1 > most) return action + ": unexpected " + words[most + 1];
  uint32_t v = 0;
  for (size_t i = 1; i < words.size() && i <= lastNumber; i++) {
    if (!ParseNumberWord(words[i], &v, true)) return action + ": " + words[i] + " is not a number";
  }
  return "";
}

}  // namespace

std::string ActionWordsError(const std::vector<std::string>& words, const Options& opt) {
  if (words.empty()) return "no action";
  const std::string& action = words[0];
  const size_t any = SIZE_MAX;
  if (needsGateway(action) && !opt.haveGateway && opt.profile.empty()) {
    return action + " needs the gateway: --gateway A.B.C.D (or --profile FILE)";
  }
  if (action == "status") {
    bool json = words.size() > 1 && words[1] == "--json";
    if (words.size() > (json ? 2u : 1u)) return "status: unexpected " + words[json ? 2 : 1] + " (status takes only --json)";
    return "";
  }
  if (action == "connect" || action == "connect-alt") return wordsError(words, 0, 1, 1);
  if (action == "request") return wordsError(words, 1, any, 4);
  if (action == "listen") return wordsError(words, 1, 1, 1);
  if (action == "up" || action == "interrupt" || action == "quit") return wordsError(words, 0, 0, 0);
  if (action == "disconnect" || action == "disconnect-force" || action == "down") return "";
  return "unknown action " + action;
}

bool ParseNumberWord(const std::string& text, uint32_t* value, bool hex) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, hex ? 0 : 10);
  if (errno != 0 || *end != 0 || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

ParseOutcome ParseOptions(int argc, char** argv, Options* opt, std::string* error) {
  optind = 0;  // a fresh scan (also of a second argv)
  error->clear();
  // "+": the options end at the action, whose own words follow it. An
  // unknown option or a missing value getopt_long reports itself.
  for (int id; (id = getopt_long(argc, argv, "+h", kLongOptions, nullptr)) != -1;) {
    if (id == kHelp) return ParseOutcome::kHelp;
    if (id == kVersion) return ParseOutcome::kVersion;
    if (id == '?') return ParseOutcome::kBad;
    std::string value = optarg != nullptr ? optarg : "";
    try {
      takeOption(id, value, opt);
    } catch (const BadValue& e) {
      *error = optionName(id) + " " + value + ": " + e.what();
      return ParseOutcome::kBad;
    }
  }
  if (optind >= argc) {
    *error = "no action";
    return ParseOutcome::kBad;
  }
  opt->action.assign(argv + optind, argv + argc);
  bool script = opt->action[0] == "-";
  *error = script ? (opt->action.size() > 1 ? "-: unexpected " + opt->action[1] : "") : ActionWordsError(opt->action, *opt);
  return error->empty() ? ParseOutcome::kRun : ParseOutcome::kBad;
}

void PutConnectData(const Options& opt, uint8_t* payload) {
  if (opt.haveConnect) memcpy(payload, &opt.connect, sizeof opt.connect);
  else if (!opt.profile.empty()) memcpy(payload, opt.profile.data(), opt.profile.size());
}
