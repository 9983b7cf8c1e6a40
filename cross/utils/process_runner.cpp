#include "cross/utils/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read = -1, write = -1;
};

void closeFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

[[noreturn]] void fail(const char* step, int err) {
  throw std::runtime_error(std::string(step) + ": " + strerror(err));
}

// Pipes are close-on-exec, so no other child started meanwhile inherits them.
bool openPipe(Pipe* p) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  p->read = fds[0];
  p->write = fds[1];
  return true;
}

// In the child: fd becomes target, open across the exec.
bool moveTo(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return dup2(fd, target) == target;
}

// The state of one run in the parent; the destructor closes what is still open.
struct Run {
  Pipe out, err, in;
  pid_t child = -1;
  ~Run() {
    for (int* fd : {&out.read, &out.write, &err.read, &err.write, &in.read, &in.write}) closeFd(fd);
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }
};

// The child's environment, built before the fork (the child of a threaded
// process may not allocate): the daemon's variables, those named in extra
// left out, then extra.
// True when the variable entry (NAME=value) has the name of entry.
bool sameName(const char* variable, const std::string& entry) {
  size_t n = std::min(entry.find('='), entry.size());
  return strncmp(variable, entry.c_str(), n) == 0 && variable[n] == '=';
}

std::vector<char*> childEnvironment(const std::vector<std::string>& extra) {
  std::vector<char*> env;
  for (char** v = environ; *v != nullptr; v++) {
    bool replaced = false;
    for (const std::string& e : extra) replaced = replaced || sameName(*v, e);
    if (!replaced) env.push_back(*v);
  }
  for (const std::string& e : extra) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  return env;
}

int exitCodeOf(int status) {
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Writes to the stdin pipe with SIGPIPE held back, so a child that stops
// reading yields EPIPE here instead of a signal to the daemon.
ssize_t writeQuietly(int fd, const char* data, size_t len) {
  sigset_t pipeSig, old;
  sigemptyset(&pipeSig);
  sigaddset(&pipeSig, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSig, &old);
  ssize_t n = write(fd, data, len);
  int err = errno;
  if (n < 0 && err == EPIPE) {
    timespec zero{0, 0};
    sigtimedwait(&pipeSig, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

bool readInto(int* fd, std::string* text) {
  char buf[65536];
  ssize_t n = read(*fd, buf, sizeof buf);
  if (n > 0) {
    text->append(buf, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  closeFd(fd);
  return false;
}

int msLeft(Clock::time_point deadline, bool limited) {
  if (!limited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Feeds the input and collects both outputs until both reach their end or
// the deadline passes. False when the deadline passed.
bool exchange(Run* run, const std::string& input, ProcessResult* result, Clock::time_point deadline, bool limited) {
  size_t fed = 0;
  if (run->in.write >= 0 && input.empty()) closeFd(&run->in.write);
  while (run->out.read >= 0 || run->err.read >= 0) {
    pollfd fds[3];
    int n = 0;
    if (run->out.read >= 0) fds[n++] = {run->out.read, POLLIN, 0};
    if (run->err.read >= 0) fds[n++] = {run->err.read, POLLIN, 0};
    if (run->in.write >= 0) fds[n++] = {run->in.write, POLLOUT, 0};
    int wait = msLeft(deadline, limited);
    if (wait == 0) return false;
    int ready = poll(fds, static_cast<nfds_t>(n), wait);
    if (ready < 0 && errno != EINTR) fail("poll", errno);
    for (int i = 0; ready > 0 && i < n; i++) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == run->out.read) readInto(&run->out.read, &result->out);
      else if (fds[i].fd == run->err.read) readInto(&run->err.read, &result->err);
      else {
        ssize_t w = writeQuietly(run->in.write, input.data() + fed, input.size() - fed);
        if (w < 0 && errno != EINTR && errno != EAGAIN) fail("write(stdin pipe)", errno);
        if (w > 0) fed += static_cast<size_t>(w);
        if (fed == input.size()) closeFd(&run->in.write);
      }
    }
  }
  return true;
}

// Waits for the child to end, at most until the deadline.
bool reap(Run* run, ProcessResult* result, Clock::time_point deadline, bool limited) {
  for (;;) {
    int status = 0;
    pid_t done = waitpid(run->child, &status, limited ? WNOHANG : 0);
    if (done == run->child) {
      run->child = -1;
      result->exitCode = exitCodeOf(status);
      return true;
    }
    if (done < 0 && errno != EINTR) return false;
    if (limited && msLeft(deadline, true) == 0) return false;
    if (limited) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void killAndReap(Run* run, ProcessResult* result) {
  kill(run->child, SIGKILL);
  int status = 0;
  if (waitpid(run->child, &status, 0) == run->child) result->exitCode = exitCodeOf(status);
  run->child = -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::optional<std::string>& stdinText,
                         int timeoutMs, bool, const std::vector<std::string>& environment) {
  if (argv.empty()) throw std::runtime_error("run_command: empty args");
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env = childEnvironment(environment);

  Run run;
  if (!openPipe(&run.out)) fail("pipe(stdout)", errno);
  if (!openPipe(&run.err)) fail("pipe(stderr)", errno);
  if (stdinText && !openPipe(&run.in)) fail("pipe(stdin)", errno);
  const bool limited = timeoutMs > 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);

  run.child = fork();
  if (run.child < 0) fail("fork", errno);
  if (run.child == 0) {
    bool ok = moveTo(run.out.write, 1) && moveTo(run.err.write, 2);
    if (ok && stdinText) ok = moveTo(run.in.read, 0);
    if (ok) execvpe(args[0], args.data(), env.data());
    _exit(127);
  }
  closeFd(&run.out.write);
  closeFd(&run.err.write);
  closeFd(&run.in.read);
  // Feeding never blocks: the outputs are read between the pieces of input.
  if (run.in.write >= 0) fcntl(run.in.write, F_SETFL, O_NONBLOCK);

  ProcessResult result;
  bool inTime = exchange(&run, stdinText ? *stdinText : std::string(), &result, deadline, limited) &&
                reap(&run, &result, deadline, limited);
  if (!inTime) killAndReap(&run, &result);
  return result;
}
