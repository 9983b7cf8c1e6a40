#include "cross/utils/execution_dir.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

char installDir[2048];
char settingsDir[2048];

void ReadExecutionDir(int, char**) {
  char link[64];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(getpid()));
  char exe[sizeof installDir];
  ssize_t n = readlink(link, exe, sizeof exe - 1);
  if (n < 0) n = 0;
  exe[n] = '\0';
  char* slash = strrchr(exe, '/');
  if (slash != nullptr) *slash = '\0';
  memcpy(installDir, exe, strlen(exe) + 1);
  if (chdir(installDir) != 0) syslog(LOG_ERR, "ERROR chdir: %s", strerror(errno));
}
