#include "cross/utils/log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
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

// No link is followed, and a pipe or a terminal put in the file's place
// neither stalls a writer nor becomes the daemon's terminal.
const int kFileFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
const mode_t kSharedDirMode = 01777;

// Opens of the log's name per line, and names tried for a fresh log.
const int kOpenTries = 4;
const int kFreshNameTries = 4;

// A regular file of this process's user with no name but the log's: not a
// file another user made, a pipe, a directory or a device, nor a second
// name (a hard link) of a file elsewhere, which a write would change.
bool ownEntry(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid(); }

bool ownFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && ownEntry(st);
}

// A new empty file of this process's user at a name of its own beside the
// log ("name.xxxxxxxx", unforeseeable), mode 0600 so that no other user
// may open or link it yet; its descriptor, or -1.
int makeFreshFile(int dirFd, const char* name, char* fresh, size_t size) {
  for (int i = 0; i < kFreshNameTries; i++) {
    uint32_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r) return -1;
    snprintf(fresh, size, "%s.%08x", name, r);
    int fd = openat(dirFd, fresh, kFileFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The directory, opened without following a link, when it is one of this
// process's user; -1 else. One that other users may write to gets the
// sticky bit back when it has lost it.
int openDirectory(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_uid != geteuid())) {
    close(fd);
    return -1;
  }
  if (fd >= 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    fchmod(fd, (st.st_mode & 07777) | S_ISVTX);
  }
  return fd;
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

// Decision: a name in the log's place that is not the log's own (see
// ownEntry: a file another user made there first, a link, a second name of
// a file elsewhere, a pipe, a directory) is never written to. A fresh log
// takes its place in one exchange (replaceForeignFile), so no name made in
// between can take it, and the opening is tried again, a bounded number of
// times, while the name changes under it. An open that fails while the
// log's own file stands there (no descriptor left, say) loses that line
// only. The directory is sticky (openDirectory), so no other user can
// remove or replace the log once it is made, and the checks of the
// descriptor hold for every write through it.
int Log::openFile() {
  int dirFd = openDirectory(dir);
  if (dirFd < 0) return -1;
  for (int i = 0; i < kOpenTries && fd < 0; i++) {
    fd = openat(dirFd, name, kFileFlags | O_CREAT, 0666);
    if (fd >= 0 && ownFile(fd)) break;
    bool opened = fd >= 0;
    closeFile();
    struct stat st {};
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      break;
    }
    if (ownEntry(st)) {
      if (opened) continue;  // the log's own file came back in between
      break;
    }
    fd = replaceForeignFile(dirFd);
  }
  close(dirFd);
  if (fd >= 0) fchmod(fd, 0666);
  return fd;
}

// The descriptor of a fresh log exchanged with what stands at the name,
// or -1. What it displaced is removed by the name it now has (a file it
// names elsewhere keeps its content); a directory with content stays
// there, out of the log's way. A log of this process's user displaced by
// another of its writers in between is put back, and -1 returned so that
// the name is opened again.
int Log::replaceForeignFile(int dirFd) {
  char fresh[sizeof path + 16];
  int made = makeFreshFile(dirFd, name, fresh, sizeof fresh);
  if (made < 0) return -1;
  bool placed = renameat2(dirFd, fresh, dirFd, name, RENAME_NOREPLACE) == 0;
  if (!placed && (errno != EEXIST || renameat2(dirFd, fresh, dirFd, name, RENAME_EXCHANGE) != 0)) {
    unlinkat(dirFd, fresh, 0);
    close(made);
    return -1;
  }
  struct stat shifted {};
  if (!placed && fstatat(dirFd, fresh, &shifted, AT_SYMLINK_NOFOLLOW) == 0 && ownEntry(shifted)) {
    if (renameat2(dirFd, fresh, dirFd, name, RENAME_EXCHANGE) == 0) unlinkat(dirFd, fresh, 0);
    close(made);
    return -1;
  }
  if (!placed) {
    bool removed = unlinkat(dirFd, fresh, S_ISDIR(shifted.st_mode) ? AT_REMOVEDIR : 0) == 0;
    syslog(LOG_WARNING, "%s was not the log's own file (mode %o, user %u, %u names): a new log begun, %s%s", path,
           static_cast<unsigned>(shifted.st_mode), static_cast<unsigned>(shifted.st_uid),
           static_cast<unsigned>(shifted.st_nlink), removed ? "the old name removed" : "what stood there kept as ",
           removed ? "" : fresh);
  }
  return made;
}

void Log::closeFile() {
  if (fd >= 0) close(fd);
  fd = -1;
}

void Log::SetLogFileMaxSize(uint64_t size) {
  std::lock_guard<std::mutex> lock(mtx);
  maxSize = size;
  Registry_RegSetValueUnsignedLongLongHex(registryDir.c_str(), "LogFileMaxSize", size);
  if (openFile() >= 0 && enabled) TruncateLogFile();
  closeFile();
}

// The header and the kept tail go to a new file that replaces the log in
// one rename, so a kill at any point leaves the old log or the new one.
// The new file is made with O_EXCL under a name of its own, which no other
// user can remove or rename in the sticky directory; the log is then opened
// again by its name and checked as at every write.
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
    openFile();
  }
  if (fd >= 0) lseek(fd, 0, SEEK_END);
}

int Log::WriteToSTR(const char* text) {
  std::lock_guard<std::mutex> lock(mtx);
  if (!enabled) return 1;
  if (openFile() < 0) {
    lost++;
    return 0;
  }
  lseek(fd, 0, SEEK_END);
  TruncateLogFile();
  std::string all;
  if (lost > 0) all = datedLine((std::to_string(lost) + " earlier lines could not be written to the log").c_str());
  all += text;
  bool whole = write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size());
  if (whole) lost = 0;
  closeFile();
  return whole ? 1 : 0;
}

// Emptied through the descriptor once it is known to be the log's own: an
// open with O_TRUNC would empty whatever file stands at the name first.
int Log::ClearLogFile() {
  std::lock_guard<std::mutex> lock(mtx);
  if (openFile() < 0) return 0;
  bool emptied = ftruncate(fd, 0) == 0;
  closeFile();
  return emptied ? 1 : 0;
}

int Log::CreateLogFile(const char* newPath) {
  if (newPath == nullptr || *newPath == '\0') return -1;
  {
    std::lock_guard<std::mutex> lock(mtx);
    copyBounded(path, sizeof path, newPath);
    const char* slash = strrchr(path, '/');
    name = slash != nullptr ? slash + 1 : path;
    if (slash == nullptr) copyBounded(dir, sizeof dir, ".");
    else if (slash == path) copyBounded(dir, sizeof dir, "/");
    else snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash - path), path);
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

bool MakeSharedLogDirectory(const char* dir) {
  mkdir(dir, kSharedDirMode);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && st.st_uid == geteuid() &&
            ((st.st_mode & 07777) == kSharedDirMode || fchmod(fd, kSharedDirMode) == 0);
  close(fd);
  return ok;
}

// Never destroyed: threads may still write while the process exits.
Log& GetLog() {
  static Log* log = new Log(installDir);
  return *log;
}
