#include "host/host_log.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace zornfhost {
namespace {
bool use_syslog;
std::mutex log_mutex;
}  // namespace

void log_to_syslog(bool on) {
  use_syslog = on;
  if (on) openlog("zornfhost", LOG_PID, LOG_DAEMON);
}

void host_vlog(const char *format, va_list args) {
  char line[1024];
  vsnprintf(line, sizeof line, format, args);
  size_t n = strlen(line);
  while (n && line[n - 1] == '\n') line[--n] = 0;
  std::lock_guard<std::mutex> lock(log_mutex);
  if (use_syslog) {
    syslog(LOG_INFO, "%s", line);
  } else {
    fprintf(stderr, "%s\n", line);
    fflush(stderr);
  }
}

void host_log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  host_vlog(format, args);
  va_end(args);
}

}  // namespace zornfhost

extern "C" int KERN_printk(const char *format, ...) {
  va_list args;
  va_start(args, format);
  zornfhost::host_vlog(format, args);
  va_end(args);
  return 0;
}
