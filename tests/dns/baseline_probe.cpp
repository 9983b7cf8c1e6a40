// A daemon stand-in for the baseline tests: runs client command 28 with the
// suffixes on its command line, says "set" and waits to be killed (at most
// a minute), as a daemon that crashes while the suffixes are set.
//   dns_baseline_probe <baseline file> <log file> <suffix>...
#include <stdio.h>
#include <unistd.h>

#include <list>
#include <string>

#include "Service/common/dns/suffix_baseline.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"

namespace {

std::list<std::string> g_suffixes;
int givenSuffixes(std::list<std::string>& out) {
  out = g_suffixes;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string log = argv[2];
  snprintf(installDir, sizeof installDir, "%s", log.substr(0, log.rfind('/')).c_str());
  GetLog().CreateLogFile(argv[2]);
  suffix_baseline::g_suffix_baseline_path = argv[1];
  g_suffixes.assign(argv + 3, argv + argc);
  suffix_baseline::SetBaselineHooks({givenSuffixes, nullptr, nullptr});
  suffix_baseline::PreConnectSettings(0);
  printf("set\n");
  fflush(stdout);
  sleep(60);
  return 1;
}
