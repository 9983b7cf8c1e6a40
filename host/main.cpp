// zornfhost: runs the network-filter module in user space.
//
//   zornfhost --adapter TAP:UPLINK [--adapter ...] [--port ID] [--workers N] [--syslog]
//   zornfhost -h | --help | --version
//
//   --adapter TAP:UPLINK  serve an adapter: TAP is the stack side (created
//                         when missing; carries the addresses and routes),
//                         UPLINK an existing interface without addresses
//                         (network side). Repeatable; at least one.
//   --port ID             netlink port id of the control endpoint
//                         (NETLINK_USERSOCK), decimal or 0x-hex; default
//                         0x7A4E0001.
//   --workers N           crypto workers of the tunnel's data path; 0 runs
//                         each batch inline in the thread that read it.
//                         Default: one per core beyond the two readers (at
//                         most 16).
//   --syslog              log to syslog instead of stderr.
//   -h, --help            this text.
//   --version             the version.
//
// Signals: SIGUSR1 stand-by prepare, SIGUSR2 post stand-by, SIGTERM or
// SIGINT unload and exit 0. Exit status 1 when the module does not load, 2
// for bad options or no adapter given (a host without an adapter pair
// could carry no tunnel, and a service manager shows it failed), 3 once a
// TAP or uplink went away (unloaded as for SIGTERM; device_loss.h).
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/device_loss.h"
#include "host/host_log.h"
#include "host/host_runtime.h"
#include "kernel/fsguard/fsguard.h"

namespace {

void usage() {
  std::fputs(
               "usage: zornfhost --adapter TAP:UPLINK [--adapter ...] [--port ID] [--workers N] [--syslog]\n"
               "       zornfhost -h | --help | --version\n"
               "Runs the network filter (ZorNFFltLib) in user space: the filter sees the\n"
               "frames between each TAP device and its uplink, and answers solvarind's\n"
               "requests on the netlink control endpoint.\n"
               "  --adapter TAP:UPLINK  serve TAP (stack side, created when missing; carries the\n"
               "                        addresses and routes) paired with UPLINK (network side,\n"
               "                        an existing interface without addresses); repeatable,\n"
               "                        at least one\n"
               "  --port ID             netlink port id of the control endpoint, decimal or\n"
               "                        0x-hex (default 0x7A4E0001)\n"
               "  --workers N           crypto workers of the tunnel, 0-16 (0: inline;\n"
               "                        default: one per core beyond the readers and feeder)\n"
               "  --syslog              log to syslog instead of stderr\n"
               "  -h, --help            this text\n"
               "  --version             the version\n"
               "Signals: SIGUSR1 stand-by prepare, SIGUSR2 post stand-by, SIGTERM or SIGINT\n"
               "unload the filter and exit 0. Exit status 1 when the filter does not load,\n"
               "2 for bad options or no --adapter, 3 once a TAP or uplink went away.\n"
               "Example: zornfhost --adapter tap0:eth0 --syslog\n",
             stdout);
}

// The no-adapter refusal: a host that serves no adapter cannot carry a tunnel.
const char kNoAdapter[] =
    "zornfhost: no adapter pair, so no tunnel could run: give --adapter TAP:UPLINK (for the service: "
    "ZORNFHOST_OPTS=\"--adapter TAP:UPLINK\" in /etc/default/zornfhost)\n";

enum Parsed { kRun, kHelp, kVersion, kBad };

bool take_adapter(const char *v, zornfhost::HostConfig *config) {
  std::string text = v;
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  config->adapters.push_back({text.substr(0, colon), text.substr(colon + 1)});
  return true;
}

// The whole text as a number of at most max (base 0 or 10), into *value.
bool take_number(const char *text, int base, unsigned long min, unsigned long max, unsigned long *value) {
  char *end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, base);
  if (errno != 0 || end == text || *end != 0 || text[0] == '-' || v < min || v > max) return false;
  *value = v;
  return true;
}

Parsed parse_args(int argc, char **argv, zornfhost::HostConfig *config) {
  enum { kPort = 256, kWorkers, kSyslog, kVersionOpt, kAdapter };
  static const option kLong[] = {{"adapter", required_argument, nullptr, kAdapter},
                                 {"port", required_argument, nullptr, kPort},
                                 {"workers", required_argument, nullptr, kWorkers},
                                 {"syslog", no_argument, nullptr, kSyslog},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, kVersionOpt},
                                 {nullptr, 0, nullptr, 0}};
  unsigned long n = 0;
  // getopt_long says what is wrong with an option; a value is judged here.
  auto bad_value = [](const char *option, const char *wanted) {
    std::fprintf(stderr, "zornfhost: %s %s: %s\n", option, optarg, wanted);
    return kBad;
  };
  for (int c; (c = getopt_long(argc, argv, "h", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'h': return kHelp;
      case kVersionOpt: return kVersion;
      case kAdapter:
        if (!take_adapter(optarg, config)) return bad_value("--adapter", "not TAP:UPLINK");
        break;
      case kPort:
        if (!take_number(optarg, 0, 1, 0xFFFFFFFFul, &n)) return bad_value("--port", "not a port id from 1 to 0xFFFFFFFF");
        config->port = static_cast<uint32_t>(n);
        break;
      case kWorkers:
        if (!take_number(optarg, 10, 0, zornfhost::kMaxWorkers, &n)) return bad_value("--workers", "not a count from 0 to 16");
        config->workers = static_cast<int>(n);
        break;
      case kSyslog: config->syslog = true; break;
      default: return kBad;
    }
  }
  if (optind == argc) return kRun;
  std::fprintf(stderr, "zornfhost: unexpected argument '%s'\n", argv[optind]);
  return kBad;
}

}  // namespace

int main(int argc, char **argv) {
  zornfhost::HostConfig config;
  switch (parse_args(argc, argv, &config)) {
    case kHelp: usage(); return 0;
    case kVersion: std::printf("zornfhost %s\n", ZOR_VERSION); return 0;
    case kBad: std::fputs("zornfhost --help tells the options\n", stderr); return 2;
    case kRun: break;
  }
  if (config.adapters.empty()) {
    std::fputs(kNoAdapter, stderr);
    return 2;
  }
  // Every thread the host starts inherits this mask; only the main thread
  // takes the signals.
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!zornfhost::host_load(config)) return 1;
  // The file guard module runs beside the filter; it keeps no state (its
  // configuration load always fails), so its start answers 1.
  zornfhost::host_log("zornfhost: file guard start: %u", Zor_FS_init_module());
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGUSR1) {
      zornfhost::host_standby_prepare();
    } else if (sig == SIGUSR2) {
      zornfhost::host_post_standby();
    } else {
      Zor_FS_cleanup_module();
      zornfhost::host_unload();
      return zornfhost::any_device_gone() ? zornfhost::kExitDeviceGone : 0;
    }
  }
}
