#include "tools/solvarin-cli/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace {

std::mutex g_lock;
bool g_background = false;
int g_keptErr = -1;

// The journal's stream is named "DEVICE:INODE" in JOURNAL_STREAM.
bool isJournalStream(const struct stat& st) {
  const char* named = getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  return named != nullptr && sscanf(named, "%llu:%llu", &dev, &ino) == 2 && dev == st.st_dev && ino == st.st_ino;
}

void inBackground(int priority, const std::string& line) {
  syslog(priority, "%s", line.c_str());
  if (g_keptErr < 0) return;
  std::string text = line + "\n";
  if (write(g_keptErr, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    close(g_keptErr);
    g_keptErr = -1;
  }
}

}  // namespace

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_background) inBackground(LOG_INFO, line);
  else std::cout << line << std::endl;
}

void SayError(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_background) inBackground(LOG_ERR, line);
  else std::cout.flush(), std::cerr << line << std::endl;
}

void SayLine(const std::string& line) {
  if (line.rfind("error: ", 0) == 0) SayError(line);
  else Say(line);
}

int StandardErrorToKeep() {
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return -1;
  bool keep = isatty(STDERR_FILENO) || S_ISREG(st.st_mode) || isJournalStream(st);
  return keep ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
}

void SayInBackground(int keptErr) {
  std::lock_guard<std::mutex> lock(g_lock);
  std::cout.flush();
  openlog("solvarin-cli", LOG_PID, LOG_USER);
  g_keptErr = keptErr;
  g_background = true;
}
