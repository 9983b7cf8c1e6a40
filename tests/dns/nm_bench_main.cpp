// A real NetworkManager on a private bus for the namespace tests and the
// demo, kept up until SIGTERM or SIGINT:
//   dns_nm_bench DIR ID IFACE SEARCH [ID IFACE SEARCH]...
// Each triple is one Ethernet profile on a veth end named IFACE, with the
// keyfile dns-search value SEARCH ("a.example;b.example;", "" for none). Its
// files go into a directory made in DIR. Once every device is connected it
// prints "ready bus=ADDRESS", the DBUS_SYSTEM_BUS_ADDRESS of its bus; at the
// end everything it made is removed.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "tests/dns/nm_bench.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onStop(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    fprintf(stderr, "usage: dns_nm_bench DIR ID IFACE SEARCH [ID IFACE SEARCH]...\n");
    return 2;
  }
  // Until the bench is up a stop only sets the flag (the programs it starts
  // get the default actions back); then the stop is waited for.
  struct sigaction sa {};
  sa.sa_handler = onStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::vector<NmProfile> profiles;
  for (int i = 2; i + 2 < argc; i += 3) profiles.push_back({argv[i], argv[i + 1], argv[i + 2]});
  NmBench nm(profiles, argv[1]);
  if (!nm.up()) {
    fprintf(stderr, "NetworkManager did not come up\n%s", nm.nmLog().c_str());
    return 1;
  }
  printf("ready bus=%s\n", getenv("DBUS_SYSTEM_BUS_ADDRESS"));
  fflush(stdout);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  int sig = 0;
  if (!g_stop) sigwait(&stops, &sig);
  return 0;
}
