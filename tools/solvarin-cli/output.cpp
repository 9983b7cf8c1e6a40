#include "tools/solvarin-cli/output.h"

#include <syslog.h>

#include <iostream>
#include <mutex>

namespace {

std::mutex g_lock;
bool g_syslog = false;

}  // namespace

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_syslog) syslog(LOG_INFO, "%s", line.c_str());
  else std::cout << line << std::endl;
}

void SayToSyslog() {
  std::lock_guard<std::mutex> lock(g_lock);
  std::cout.flush();
  openlog("solvarin-cli", LOG_PID, LOG_USER);
  g_syslog = true;
}
