#include "tools/solvarin-cli/cli_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
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
    "the tunnel shows \"tunnel down: REASON\".\n"
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
    "                                      as the tunnel's owner, logging to syslog, until\n"
    "                                      'down', SIGTERM or the tunnel's end\n"
    "  down [REASON]                       ask this user's 'up' to disconnect and end\n"
    "A one-shot action (status, request) leaves another program's tunnel up; a\n"
    "tunnel brought up by a one-shot 'connect' ends with it: use 'up' for that.\n"
    "Ctrl-C (or SIGTERM) during a connect cancels the attempt.\n"
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
    "  --help                 this text\n"
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

std::vector<unsigned char> fromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The connect data options (--gateway, --profile-type, --tunnel-group,
// --auth-type, --profile-id).
void connectOption(const std::string& name, const std::string& value, Options* opt) {
  ProfileConnectData& c = opt->connect;
  if (name == "--gateway") {
    in_addr addr{};
    if (inet_pton(AF_INET, value.c_str(), &addr) != 1) throw BadValue("not an IPv4 address");
    c.gatewayIp = ntohl(addr.s_addr);
  } else if (name == "--profile-type") {
    c.profileType = static_cast<uint32_t>(std::stoul(value));
  } else if (name == "--tunnel-group") {
    snprintf(c.tunnelGroup, sizeof c.tunnelGroup, "%s", value.c_str());
  } else if (name == "--auth-type") {
    c.authTypeExt = static_cast<uint8_t>(std::stoul(value, nullptr, 0));
  } else {
    c.profileId = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
  }
  if (c.profileType == 0) snprintf(c.certText, sizeof c.certText, "%s", kTestSubject);
  opt->haveConnect = true;
}

// The options that take a value.
bool isValueOption(const std::string& name) {
  for (const char* known : {"--kind", "--sign-answer", "--pki-verdict", "--pki-answer", "--profile", "--gateway",
                            "--profile-type", "--tunnel-group", "--auth-type", "--profile-id"}) {
    if (name == known) return true;
  }
  return false;
}

// Takes one option with a value (a name isValueOption knows).
void valueOption(const std::string& name, const std::string& value, Options* opt) {
  if (name == "--kind") opt->kind = static_cast<unsigned char>(std::stoul(value));
  else if (name == "--sign-answer") opt->answers.signAnswer = fromHex(value);
  else if (name == "--pki-verdict") {
    opt->answers.pkiVerdictGiven = true;
    opt->answers.pkiVerdict = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
  } else if (name == "--pki-answer") opt->answers.pkiAnswer = fromHex(value);
  else if (name == "--profile") {
    std::ifstream in(value, std::ios::binary);
    if (!in) throw BadValue("cannot be read");
    opt->profile.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (opt->profile.size() > sizeof(ProfileConnectData)) opt->profile.resize(sizeof(ProfileConnectData));
  } else connectOption(name, value, opt);
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* opt, std::string* error) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
    std::string name = argv[i];
    if (name == "--help") {
      error->clear();
      return false;
    }
    if (name == "--no-answer") {
      opt->answers.answer = false;
      continue;
    }
    if (!isValueOption(name)) {
      *error = "unknown option " + name;
      return false;
    }
    if (i + 1 >= argc) {
      *error = name + " needs a value";
      return false;
    }
    std::string value = argv[++i];
    try {
      valueOption(name, value, opt);
    } catch (const BadValue& e) {
      *error = name + " " + value + ": " + e.what();
      return false;
    } catch (const std::logic_error&) {
      *error = name + " " + value + ": not a number";
      return false;
    }
  }
  if (i >= argc) {
    *error = "no action";
    return false;
  }
  opt->action.assign(argv + i, argv + argc);
  return true;
}

void PutConnectData(const Options& opt, uint8_t* payload) {
  if (opt.haveConnect) memcpy(payload, &opt.connect, sizeof opt.connect);
  else if (!opt.profile.empty()) memcpy(payload, opt.profile.data(), opt.profile.size());
}
