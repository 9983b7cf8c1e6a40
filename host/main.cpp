// zornfhost: runs the network-filter module in user space.
//
//   zornfhost [--adapter TAP:UPLINK]... [--port ID] [--workers N] [--syslog]
//   zornfhost --help | --version
//
//   --adapter TAP:UPLINK  serve an adapter: TAP is the stack side (created
//                         when missing; carries the addresses and routes),
//                         UPLINK an existing interface without addresses
//                         (network side). Repeatable.
//   --port ID             netlink port id of the control endpoint
//                         (NETLINK_USERSOCK), decimal or 0x-hex; default
//                         0x7A4E0001.
//   --workers N           crypto workers of the tunnel's data path; 0 runs
//                         each batch inline in the thread that read it.
//                         Default: one per core beyond the two readers (at
//                         most 16).
//   --syslog              log to syslog instead of stderr.
//   --help                this text.
//   --version             the version.
//
// Signals: SIGUSR1 stand-by prepare, SIGUSR2 post stand-by, SIGTERM or
// SIGINT unload and exit 0. Exit status 1 when the module does not load.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host_log.h"
#include "host/host_runtime.h"
#include "kernel/fsguard/fsguard.h"

namespace {

void usage(FILE *out) {
  std::fprintf(out,
               "usage: zornfhost [--adapter TAP:UPLINK]... [--port ID] [--workers N] [--syslog]\n"
               "       zornfhost --help | --version\n"
               "Runs the network filter (ZorNFFltLib) in user space: the filter sees the\n"
               "frames between each TAP device and its uplink, and answers solvarind's\n"
               "requests on the netlink control endpoint.\n"
               "  --adapter TAP:UPLINK  serve TAP (stack side, created when missing; carries the\n"
               "                        addresses and routes) paired with UPLINK (network side,\n"
               "                        an existing interface without addresses); repeatable\n"
               "  --port ID             netlink port id of the control endpoint, decimal or\n"
               "                        0x-hex (default 0x7A4E0001)\n"
               "  --workers N           crypto workers of the tunnel, 0-16 (0: inline;\n"
               "                        default: one per core beyond the two readers)\n"
               "  --syslog              log to syslog instead of stderr\n"
               "  --help                this text\n"
               "  --version             the version\n"
               "Signals: SIGUSR1 stand-by prepare, SIGUSR2 post stand-by, SIGTERM or SIGINT\n"
               "unload the filter and exit 0. Exit status 1 when the filter does not load,\n"
               "2 for bad options.\n"
               "Example: zornfhost --adapter tap0:eth0 --syslog\n");
}

bool parse_args(int argc, char **argv, zornfhost::HostConfig *config) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--adapter" && has_value) {
      std::string v = argv[++i];
      size_t colon = v.find(':');
      if (colon == std::string::npos || colon == 0 || colon + 1 == v.size()) return false;
      config->adapters.push_back({v.substr(0, colon), v.substr(colon + 1)});
    } else if (arg == "--port" && has_value) {
      char *end = nullptr;
      unsigned long port = std::strtoul(argv[++i], &end, 0);
      if (!end || *end || port == 0 || port > 0xFFFFFFFFul) return false;
      config->port = static_cast<uint32_t>(port);
    } else if (arg == "--workers" && has_value) {
      char *end = nullptr;
      unsigned long n = std::strtoul(argv[++i], &end, 10);
      if (!end || *end || n > zornfhost::kMaxWorkers) return false;
      config->workers = static_cast<int>(n);
    } else if (arg == "--syslog") {
      config->syslog = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  zornfhost::HostConfig config;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    usage(stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("zornfhost %s\n", ZOR_VERSION);
    return 0;
  }
  if (!parse_args(argc, argv, &config)) {
    usage(stderr);
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
      return 0;
    }
  }
}
