#include "tools/solvarin-cli/owner_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A request line comes at once; the answer to "down" waits for the
// daemon's disconnect (after a connect attempt in progress).
const int kRequestMs = 5000;
const int kAnswerMs = 120000;
const size_t kTextMax = 16384;

const char kSocketName[] = "solvarin-cli-up.socket";
const char kLockName[] = "solvarin-cli-up.lock";
const char kHomeDirectory[] = ".solvarin-cli";

// A directory (not a link) of this user's own that no other user may enter.
bool privateDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 077) == 0;
}

// The user's home as the password database has it, when it is the user's
// own and no other user may write to it ("" otherwise).
std::string ownHome() {
  const passwd* pw = getpwuid(getuid());
  struct stat st {};
  if (pw == nullptr || pw->pw_dir == nullptr || lstat(pw->pw_dir, &st) != 0) return "";
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 022) == 0 ? pw->pw_dir : "";
}

// Where this user's channel lives; with create, ~/.solvarin-cli is made when
// no runtime directory serves. "" with the reason in *error when none does.
std::string channelDirectory(bool create, std::string* error) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  for (const std::string& dir : {std::string(runtime != nullptr ? runtime : ""), "/run/user/" + std::to_string(getuid())}) {
    if (privateDirectory(dir)) return dir;
  }
  std::string home = ownHome();
  if (home.empty()) {
    *error = "no directory of this user's own for the owner channel: no runtime directory ($XDG_RUNTIME_DIR, "
             "/run/user/" + std::to_string(getuid()) + ") and no home of this user's own; set XDG_RUNTIME_DIR to a "
             "directory of this user's (mode 0700)";
    return "";
  }
  std::string dir = home + "/" + kHomeDirectory;
  if (create) mkdir(dir.c_str(), 0700);
  if (privateDirectory(dir)) return dir;
  *error = dir + " is not a directory of this user's own with mode 0700; remove it or set XDG_RUNTIME_DIR";
  return "";
}

// The socket's address in dir; false when the path does not fit.
bool channelAddress(const std::string& dir, sockaddr_un* addr, std::string* error) {
  std::string path = dir + "/" + kSocketName;
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) {
    *error = "the owner channel's path " + path + " is too long for a socket";
    return false;
  }
  memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

bool sameUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == getuid();
}

// Reads up to a line feed (or the peer's end) within ms; false on time-out.
bool readText(int fd, std::string* text, int ms, bool oneLine) {
  char buf[512];
  while (text->size() < kTextMax && !(oneLine && text->find('\n') != std::string::npos)) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  if (oneLine) text->erase(std::min(text->find('\n'), text->size()));
  return true;
}

void writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int OwnerChannelListen(std::string* error) {
  std::string dir = channelDirectory(true, error);
  sockaddr_un addr;
  if (dir.empty() || !channelAddress(dir, &addr, error)) {
    errno = EACCES;
    return -1;
  }
  // Held by this process (and the background owner it forks) until it ends.
  int lock = open((dir + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
    int err = errno == EWOULDBLOCK ? EADDRINUSE : errno;
    *error = err == EADDRINUSE ? "another solvarin-cli up of this user runs (it holds " + dir + "/" + kLockName + ")"
                               : "cannot open the owner channel in " + dir + ": " + strerror(err);
    if (lock >= 0) close(lock);
    errno = err;
    return -1;
  }
  unlink(addr.sun_path);  // one left by an `up` that ended without its cleanup
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
    int err = errno;
    *error = std::string("cannot open the owner channel ") + addr.sun_path + ": " + strerror(err);
    if (fd >= 0) close(fd);
    close(lock);
    errno = err;
    return -1;
  }
  return fd;
}

bool OwnerChannelAsk(const std::string& request, std::vector<std::string>* lines, int* exitCode) {
  std::string error;
  std::string dir = channelDirectory(false, &error);
  sockaddr_un addr;
  if (dir.empty() || !channelAddress(dir, &addr, &error)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  std::string answer;
  bool asked = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && sameUser(fd);
  if (asked) {
    writeAll(fd, request + "\n");
    asked = readText(fd, &answer, kAnswerMs, false);
  }
  close(fd);
  return asked && ParseOwnerAnswer(answer, lines, exitCode);
}

bool ParseOwnerAnswer(const std::string& text, std::vector<std::string>* lines, int* exitCode) {
  lines->clear();
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = text.substr(at, nl - at);
    if (line.rfind("exit ", 0) == 0) {
      *exitCode = static_cast<int>(std::strtol(line.c_str() + 5, nullptr, 10));
      return true;
    }
    lines->push_back(line);
  }
  return false;
}

std::string OwnerChannelValue(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

int OwnerChannelNext(int listenFd, std::string* request) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return -1;
  request->clear();
  if (sameUser(fd) && readText(fd, request, kRequestMs, true)) return fd;
  close(fd);
  return -1;
}

void OwnerChannelAnswer(int fd, const std::vector<std::string>& lines, int exitCode) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  writeAll(fd, text + "exit " + std::to_string(exitCode) + "\n");
  close(fd);
}
