// zornfhost's log: stderr (default) or syslog; one line per call.
#pragma once
#include <cstdarg>

namespace zornfhost {
void log_to_syslog(bool on);
void host_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void host_vlog(const char *format, va_list args);
}  // namespace zornfhost
