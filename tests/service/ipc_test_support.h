#pragma once
// Support of the IPC server tests: a private mount namespace with a tmpfs
// over the daemon's run directory, the IPC server running in this process
// with recording handlers, and client processes under user ids of 1000 and
// more that run the command-line client.
#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/common/spawn.h"

// Enters the private namespace and starts the IPC server, once per process.
// False with the reason when this cannot be done here (not root).
bool StartPrivateIpcServer(std::string* reason);

// The command-line client, copied where every user may run it.
std::string PrivateCliPath();

// What the recording handlers saw.
struct Recording {
  std::mutex mtx;
  std::vector<int> requesters;  // client number each request arrived with
  std::vector<std::string> disconnects;  // "reason|fromUser"
  std::vector<std::string> restores;
};
Recording& recording();
void ClearRecording();

// Polls cond every 10 ms for at most ms milliseconds.
bool Eventually(const std::function<bool()>& cond, int ms = 5000);

// A client program under uid, run in script mode (actions on its stdin), or
// with its one action in args when script is false.
class ClientProcess {
 public:
  ClientProcess(uid_t uid, const std::vector<std::string>& args, bool script = true);
  ~ClientProcess();
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  void send(const std::string& line);
  // The next output line starting with prefix (earlier lines are skipped);
  // "" when none came in time.
  std::string expect(const std::string& prefix, int timeoutMs = 5000);
  // The same for the first line that starts with any of the prefixes.
  std::string expectOneOf(const std::vector<std::string>& prefixes, int timeoutMs = 5000);
  // The id printed at registration, -1 when registration failed.
  int registeredId(int timeoutMs = 5000);
  void kill();
  // The exit status once the process ended in time, -1 otherwise.
  int waitExit(int timeoutMs = 5000);
  pid_t pid() const { return child; }

 private:
  bool readLine(std::string* line, int timeoutMs);
  pid_t child = -1;
  int in = -1, out = -1;
  std::string pending;
};
