#include "tools/solvarin-cli/owner_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// A request line comes at once; the answer to "down" waits for the
// daemon's disconnect (after a connect attempt in progress).
const int kRequestMs = 5000;
const int kAnswerMs = 120000;
const size_t kTextMax = 16384;

socklen_t channelAddress(sockaddr_un* addr) {
  std::string name = "solvarin-cli/up/" + std::to_string(getuid());
  *addr = {};
  addr->sun_family = AF_UNIX;
  memcpy(addr->sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
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

int OwnerChannelListen() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr;
  socklen_t len = channelAddress(&addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool OwnerChannelAsk(const std::string& request, std::vector<std::string>* lines, int* exitCode) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  socklen_t len = channelAddress(&addr);
  std::string answer;
  bool asked = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && sameUser(fd);
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
