#include "cross/utils/version.h"

#include <sys/utsname.h>

namespace {
// The version of this build of the daemon: the project's (CMakeLists.txt).
const char kDaemonVersion[] = ZOR_VERSION;
}  // namespace

std::string CLIENT_VERSION;
std::string verstr;

void MakeVersionString() { CLIENT_VERSION += kDaemonVersion; }

void GetSystemVersion() {
  utsname u{};
  std::string os = "unknown system";
  if (uname(&u) == 0) os = std::string(u.sysname) + " " + u.release + " " + u.version;
  verstr = std::string("Solvarind version ") + kDaemonVersion + ", " + os;
}

const char* getVrStr() { return kDaemonVersion; }
