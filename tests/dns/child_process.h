#pragma once
// Programs the DNS tests start and always stop again: servers in the test's
// namespaces, and commands run to their end with a bound.
#include <sys/types.h>

#include <string>
#include <vector>

// A started program whose standard output and error go to logPath; stopped
// (SIGTERM, then SIGKILL after a bounded wait) by stop() or the destructor,
// and killed by the kernel should the test process die first.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool start(const std::vector<std::string>& argv, const std::string& logPath);
  // True while the program has not ended.
  bool running();
  // Ends the program; sig first, SIGKILL when it is still there after 10 s.
  void stop(int sig = 15);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
};

// Runs "sh -c command" (at most 60 s); its exit code, output in *out.
int Shell(const std::string& command, std::string* out = nullptr);
// Runs command every 100 ms until its output (blanks trimmed) is expected;
// false after timeoutMs.
bool WaitForOutput(const std::string& command, const std::string& expected, int timeoutMs);
// A namespace name for this process: prefix, pid, "x", a counter. Namespaces
// of this prefix whose process is gone (a test that crashed) are removed
// first, with whatever still runs in them.
std::string FreshNetnsName(const std::string& prefix);

// The text quoted for sh.
std::string ShellQuote(const std::string& text);
