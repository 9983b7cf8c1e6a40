#include "cross/utils/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

#include "cross/utils/execution_dir.h"
#include "cross/utils/file_replace.h"
#include "cross/utils/registry.h"
#include "cross/utils/version.h"

// Entry lines are cut at the size of their buffers on purpose.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif

namespace {

const char kHeader[] = "Date; Time; File&Line; Function; Message\r\n\r\n";
const size_t kHeaderLen = sizeof kHeader - 1;  // 44
const size_t kLineBuf = 8192;
const uint64_t kDefaultMaxSize = 0x400000;
const uint64_t kMinMaxSize = 0x80000;
const uint64_t kMaxMaxSize = 0x2000000;

const char* baseName(const char* file) {
  const char* slash = strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

void copyBounded(char* dst, size_t size, const char* src) {
  snprintf(dst, size, "%s", src);
}

// "YYYY.MM.DD; hh:mm:ss.mmm; " + text + CR LF, cut at 8191 characters; a cut
// line still ends in CR LF so that the next entry starts a line of its own.
std::string datedLine(const char* text) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char buf[kLineBuf];
  int n = snprintf(buf, sizeof buf, "%.4i.%.2i.%.2i; %.2i:%.2i:%.2i.%.3i; %s\r\n", local.tm_year + 1900,
                   local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                   static_cast<int>(tv.tv_usec / 1000), text);
  if (n >= static_cast<int>(sizeof buf)) {
    buf[sizeof buf - 3] = '\r';
    buf[sizeof buf - 2] = '\n';
  }
  return buf;
}

bool writeAt(int fd, off_t offset, const char* data, size_t len) {
  return pwrite(fd, data, len, offset) == static_cast<ssize_t>(len);
}

}  // namespace

Log::Log(const char* dirOfRegistry) : registryDir(dirOfRegistry != nullptr ? dirOfRegistry : "") {
  const char* reg = registryDir.c_str();
  int on = 1;
  if (Registry_RegGetValueInt(reg, "WriteLog", &on)) {
    enabled = on;
  } else {
    enabled = 1;
    Registry_RegSetValueLongIntHex(reg, "WriteLog", 1);
  }
  long size = 0;
  if (Registry_RegGetValueLongInt(reg, "LogFileMaxSize", &size) &&
      static_cast<uint64_t>(size) >= kMinMaxSize && static_cast<uint64_t>(size) <= kMaxMaxSize) {
    maxSize = static_cast<uint64_t>(size);
  } else {
    maxSize = kDefaultMaxSize;
    Registry_RegSetValueLongIntHex(reg, "LogFileMaxSize", static_cast<long>(kDefaultMaxSize));
  }
}

void Log::LogEnable(int on) {
  enabled = on;
  Registry_RegSetValueLongIntHex(registryDir.c_str(), "WriteLog", on);
}

// Opens the log file without following a symbolic link, takes nothing but
// a regular file of one name (a pipe put in its place could stall every
// writer; a hard link that another user put in the shared log directory
// could name any file of the machine), and makes it writable by every user
// through the descriptor, whatever the umask.
int Log::openFile(int extraFlags) {
  fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags, 0666);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) closeFile();
  if (fd >= 0) fchmod(fd, 0666);
  return fd;
}

void Log::closeFile() {
  if (fd >= 0) close(fd);
  fd = -1;
}

void Log::SetLogFileMaxSize(uint64_t size) {
  std::lock_guard<std::mutex> lock(mtx);
  maxSize = size;
  Registry_RegSetValueUnsignedLongLongHex(registryDir.c_str(), "LogFileMaxSize", size);
  if (openFile(0) >= 0 && enabled) TruncateLogFile();
  closeFile();
}

// The header and the kept tail go to a new file that replaces the log in
// one rename, so a kill at any point leaves the old log or the new one.
void Log::TruncateLogFile() {
  if (!enabled || fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0) return;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size == 0) writeAt(fd, 0, kHeader, kHeaderLen);
  if (size < maxSize) {
    lseek(fd, 0, SEEK_END);
    return;
  }
  // 85 % of the limit, taken as an unsigned 32-bit count.
  uint32_t keep = static_cast<uint32_t>(static_cast<uint64_t>(0.85 * static_cast<double>(maxSize)));
  std::string text;
  try {
    text.assign(kHeader, kHeaderLen);
    text.resize(kHeaderLen + keep);
  } catch (const std::bad_alloc&) {
    lseek(fd, 0, SEEK_END);
    return;
  }
  char* tail = text.data() + kHeaderLen;
  ssize_t got = keep > 0 ? pread(fd, tail, keep, static_cast<off_t>(size - keep)) : 0;
  size_t len = got > 0 ? static_cast<size_t>(got) : 0;
  size_t from = len;
  for (size_t i = 0; i < len; i++) {
    if (tail[i] == '\r' || tail[i] == '\n') {
      from = i + 1;
      break;
    }
  }
  text.erase(kHeaderLen, from);
  text.resize(kHeaderLen + (len - from));
  // When the replacement fails the log keeps its length and the next write tries again.
  if (ReplaceFileAtomically(path, text, [](int tmp, const std::string&) { return fchmod(tmp, 0666) == 0; })) {
    closeFile();
    openFile(0);
  }
  if (fd >= 0) lseek(fd, 0, SEEK_END);
}

int Log::WriteToSTR(const char* text) {
  std::lock_guard<std::mutex> lock(mtx);
  if (!enabled) return 1;
  if (openFile(0) < 0) return 0;
  lseek(fd, 0, SEEK_END);
  TruncateLogFile();
  size_t len = strlen(text);
  bool whole = write(fd, text, len) == static_cast<ssize_t>(len);
  closeFile();
  return whole ? 1 : 0;
}

int Log::ClearLogFile() {
  std::lock_guard<std::mutex> lock(mtx);
  if (openFile(O_TRUNC) < 0) return 0;
  closeFile();
  return 1;
}

int Log::CreateLogFile(const char* newPath) {
  if (newPath == nullptr || *newPath == '\0') return -1;
  {
    std::lock_guard<std::mutex> lock(mtx);
    copyBounded(path, sizeof path, newPath);
    copyBounded(dir, sizeof dir, path);
    char* cut = nullptr;
    for (char* p = dir; *p != '\0'; p++) {
      if (*p == '/' || *p == '\\') cut = p;
    }
    if (cut != nullptr) *cut = '\0';
    else dir[0] = '\0';
  }
  std::string banner = "\r\n<< Solvarin log start " + CLIENT_VERSION + getCurrentDateTime() + ">> \r\n\r\n";
  return WriteToSTR(banner.c_str());
}

int Log::CreateLogFileInDir(const char* inDir, const char* name) {
  char full[260];
  snprintf(full, sizeof full, "%s/%s", inDir != nullptr ? inDir : "", name != nullptr ? name : "");
  return CreateLogFile(full);
}

int Log::WriteToLogFL(const char* file, int line, const char* function, const char* message) {
  if (!enabled) return 1;
  char text[kLineBuf];
  copyBounded(text, sizeof text, message != nullptr ? message : "");
  for (char* p = text; *p != '\0'; p++) {
    if (*p == ';') *p = '.';
  }
  char entry[kLineBuf];
  snprintf(entry, sizeof entry, "%s:%i; %s; p%i; %s", baseName(file != nullptr ? file : ""), line,
           function != nullptr ? function : "", static_cast<int>(getpid()), text);
  return WriteToSTR(datedLine(entry).c_str());
}

int Log::LOG_WriteToLog(const char* file, int line, const char* function, const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return WriteToLogFL(file, line, function, text);
}

int Log::WriteToLog(const char* text) {
  if (!enabled) return 1;
  return WriteToSTR(datedLine(text != nullptr ? text : "").c_str());
}

int Log::WriteToLogHexBuf(const char*, int, const char*, const unsigned char* buf, unsigned n) {
  if (!enabled) return 1;
  std::string text;
  try {
    text.reserve(3 * (static_cast<size_t>(n) + 1));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  char group[4];
  for (unsigned i = 0; i < n; i++) {
    snprintf(group, sizeof group, "%02X ", buf[i]);
    text += group;
  }
  return WriteToSTR(text.c_str());
}

std::string Log::getCurrentDateTime() {
  std::time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::put_time(&local, " %b %d %Y %H:%M:%S");
  return out.str();
}

// Never destroyed: threads may still write while the process exits.
Log& GetLog() {
  static Log* log = new Log(installDir);
  return *log;
}
