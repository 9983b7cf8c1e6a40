#include "tests/service/ipc_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cross/utils/ipc_server.h"
#include "cross/utils/service_hooks.h"

namespace {

const char kCliDir[] = "/zor-test-cli";

std::string runParent() {
  char real[PATH_MAX];
  if (realpath("/var/run", real) == nullptr) return "/var/run";
  return real;
}

void echoRequest(ServicePipeMessage_t* msg) {
  {
    std::lock_guard<std::mutex> lock(recording().mtx);
    recording().requesters.push_back(msg->clientN);
  }
  msg->result = 1000 + msg->code;
}

void echoConnectRequest(ServicePipeMessage_t* msg) { msg->result = 2000 + msg->code; }

int recordDisconnect(const char* reason, int fromUser, const char*, int) {
  g_TunnelOwnerClientN = -1;
  std::lock_guard<std::mutex> lock(recording().mtx);
  recording().disconnects.push_back(std::string(reason) + "|" + std::to_string(fromUser));
  return 0;
}

void recordRestore(const char* reason) {
  std::lock_guard<std::mutex> lock(recording().mtx);
  recording().restores.push_back(reason);
}

bool enterPrivateRunDir(std::string* reason) {
  if (geteuid() != 0) {
    *reason = "needs root for a private mount namespace";
    return false;
  }
  std::string parent = runParent();
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", parent.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    *reason = std::string("private mount namespace: ") + strerror(errno);
    return false;
  }
  std::string dir = parent + kCliDir;
  mkdir(dir.c_str(), 0755);
  std::filesystem::copy_file(ZOR_CLI_PATH, PrivateCliPath());
  chmod(PrivateCliPath().c_str(), 0755);
  return true;
}

}  // namespace

std::string PrivateCliPath() { return runParent() + kCliDir + "/solvarin-cli"; }

// Never destroyed: the server's threads may still record while the test exits.
Recording& recording() {
  static Recording* r = new Recording();
  return *r;
}

void ClearRecording() {
  std::lock_guard<std::mutex> lock(recording().mtx);
  recording().requesters.clear();
  recording().disconnects.clear();
  recording().restores.clear();
}

bool StartPrivateIpcServer(std::string* reason) {
  static std::once_flag once;
  static bool started = false;
  static std::string why;
  std::call_once(once, [] {
    if (!enterPrivateRunDir(&why)) return;
    IPC_SetServiceHandlers({echoRequest, echoConnectRequest, recordDisconnect, recordRestore});
    mode_t old = umask(0);
    StartConnections();
    umask(old);
    started = access(IPC_CONNECTION_SOCKET, F_OK) == 0;
    if (!started) why = "the IPC server did not start";
  });
  *reason = why;
  return started;
}

bool Eventually(const std::function<bool()>& cond, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

ClientProcess::ClientProcess(uid_t uid, const std::vector<std::string>& options, bool script) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) return;
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return;
  }
  std::vector<std::string> args = {PrivateCliPath()};
  args.insert(args.end(), options.begin(), options.end());
  if (script) args.push_back("-");
  // Both of its streams, as a user at a terminal reads them.
  child = SpawnChild(AsUser(uid, args), {{{toChild[0], 0}, {fromChild[1], 1}, {fromChild[1], 2}}, ""});
  close(toChild[0]);
  close(fromChild[1]);
  in = toChild[1];
  out = fromChild[0];
}

ClientProcess::~ClientProcess() {
  kill();
  if (in >= 0) close(in);
  if (out >= 0) close(out);
}

void ClientProcess::send(const std::string& line) {
  std::string text = line + "\n";
  if (write(in, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
}

bool ClientProcess::readLine(std::string* line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t end = pending.find('\n');
    if (end != std::string::npos) {
      *line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = read(out, buf, sizeof buf);
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

std::string ClientProcess::expect(const std::string& prefix, int timeoutMs) {
  return expectOneOf({prefix}, timeoutMs);
}

std::string ClientProcess::expectOneOf(const std::vector<std::string>& prefixes, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !readLine(&line, static_cast<int>(left.count()))) return "";
    for (const std::string& prefix : prefixes) {
      if (line.rfind(prefix, 0) == 0) return line;
    }
  }
}

int ClientProcess::registeredId(int timeoutMs) {
  std::string line = expect("registered id=", timeoutMs);
  return line.empty() ? -1 : std::stoi(line.substr(strlen("registered id=")));
}

void ClientProcess::kill() {
  if (child <= 0) return;
  EndChild(child, SIGKILL);
  child = -1;
}

int ClientProcess::waitExit(int timeoutMs) {
  int status = WaitChild(child, timeoutMs);
  if (status >= 0) child = -1;
  return status;
}
