#include "Service/common/core/connect_requests.h"
#include "tools/solvarin-cli/background_owner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/solvarin-cli/actions.h"
#include "tools/solvarin-cli/client_session.h"
#include "tools/solvarin-cli/exit_codes.h"
#include "tools/solvarin-cli/output.h"
#include "tools/solvarin-cli/owner_channel.h"
#include "tools/solvarin-cli/reply_words.h"
#include "tools/solvarin-cli/signal_watch.h"

namespace {

const char kDownReason[] = "solvarin-cli down";
const char kSignalReason[] = "solvarin-cli up stopped";

std::string joined(const std::vector<std::string>& words, size_t from) {
  std::string text;
  for (size_t i = from; i < words.size(); i++) text += (text.empty() ? "" : " ") + words[i];
  return text;
}

// The owner's answer to "info": who it is and what it connected to.
std::vector<std::string> info(ClientSession* session, const Options& opt) {
  auto reply = session->Ask(1);
  std::string gateway = opt.haveConnect ? DottedAddress(opt.connect.gatewayIp) : "";
  return {"pid " + std::to_string(getpid()), "client " + std::to_string(session->id()),
          "state " + std::to_string(reply ? reply->result : 0), "gateway " + gateway,
          "group " + std::string(opt.connect.tunnelGroup)};
}

// Serves the owner channel until the tunnel ends (a byte on downFd).
[[noreturn]] void serveOwner(ClientSession* session, const Options& opt, int listenFd, int downFd) {
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {downFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    std::string request;
    int fd = OwnerChannelNext(listenFd, &request);
    if (fd < 0) continue;
    if (request == "info") {
      OwnerChannelAnswer(fd, info(session, opt), kExitOk);
    } else if (request.rfind("down", 0) == 0) {
      std::vector<std::string> lines = {"down: solvarin-cli up (pid " + std::to_string(getpid()) + ") disconnects"};
      std::string reason = request.size() > 5 ? request.substr(5) : kDownReason;
      int code = DisconnectAction(session, IPC_CMD_DISCONNECT, reason, &lines);
      OwnerChannelAnswer(fd, lines, code);
    } else {
      OwnerChannelAnswer(fd, {"error: unknown request " + request}, kExitUsage);
    }
  }
  Say("solvarin-cli up ends");
  _exit(kExitOk);
}

// The child of `up`: connects with its output on the pipe to the parent,
// tells the parent the connect's exit status, then owns the tunnel.
[[noreturn]] void owner(const Options& opt, int listenFd, int statusFd, int keptErr) {
  ClientConnection conn;
  std::string error;
  int code = RegisterClient(&conn, opt.kind, &error);
  auto finish = [statusFd](int c) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (write(statusFd, &byte, 1) != 1) c = kExitRefused;
    return c;
  };
  if (code != kExitOk) {
    SayError("error: " + error);
    _exit(finish(code));
  }
  Say("registered id=" + std::to_string(conn.id));
  static ClientSession session(conn, opt.answers);
  int down[2];
  if (pipe2(down, O_CLOEXEC) != 0) _exit(finish(kExitRefused));
  int downWrite = down[1];
  session.OnTunnelDown([downWrite](const std::string&) {
    char byte = 0;
    if (write(downWrite, &byte, 1) != 1) _exit(kExitOk);
  });
  session.StartPushReader();
  WatchStopSignals(&session, [] {
    DisconnectAction(&session, IPC_CMD_DISCONNECT, kSignalReason);
    _exit(kExitOk);
  });
  code = ConnectAction(&session, opt, IPC_CMD_CONNECT, 0);
  if (code != kExitOk) _exit(finish(code));
  Say("up: solvarin-cli (pid " + std::to_string(getpid()) + ") owns the tunnel in the background and logs to syslog" +
      (keptErr >= 0 ? " and to this standard error" : "") + "; 'solvarin-cli down' takes it down");
  finish(code);
  close(statusFd);
  signal(SIGPIPE, SIG_IGN);  // a kept standard error whose reader went
  SayInBackground(keptErr);
  if (chdir("/") != 0) SayError("error: cannot leave the working directory");
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  serveOwner(&session, opt, listenFd, down[0]);
}

// Copies the child's lines to this terminal until it is connected or has
// failed; Ctrl-C here cancels its attempt. Its exit status.
int relay(pid_t child, int outFd, int statusFd) {
  int sigFd = signalfd(-1, &StopSignals(), SFD_CLOEXEC);
  char buf[4096];
  for (bool open = true; open;) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {sigFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) {
      signalfd_siginfo si;
      if (read(sigFd, &si, sizeof si) > 0) kill(child, SIGINT);
    }
    if (fds[0].revents == 0) continue;
    ssize_t n = read(outFd, buf, sizeof buf);
    if (n > 0) fwrite(buf, 1, static_cast<size_t>(n), stdout), fflush(stdout);
    else open = false;
  }
  unsigned char code = 0;
  if (read(statusFd, &code, 1) == 1) return code;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : kExitInterrupted;
}

}  // namespace

int RunUp(const Options& opt) {
  std::string error;
  int listenFd = OwnerChannelListen(&error);
  if (listenFd < 0) {
    std::vector<std::string> lines;
    int code = 0;
    if (errno == EADDRINUSE && OwnerChannelAsk("info", &lines, &code)) {
      SayError("error: this user's solvarin-cli up (pid " + OwnerChannelValue(lines, "pid") +
               ") owns a tunnel already; 'solvarin-cli down' first");
    } else {
      SayError("error: " + error);
    }
    return kExitRefused;
  }
  int out[2], status[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
    SayError(std::string("error: ") + strerror(errno));
    return kExitRefused;
  }
  int keptErr = StandardErrorToKeep();
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    SayError(std::string("error: cannot start the background owner: ") + strerror(errno));
    return kExitRefused;
  }
  if (child == 0) {
    // A session of its own: the terminal's signals and hang-up stay with
    // the parent, which passes Ctrl-C on while the connect runs. Its
    // replies and words reach the parent's output through the pipe; its
    // errors go to standard error as they are.
    setsid();
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    close(status[0]);
    owner(opt, listenFd, status[1], keptErr);
  }
  if (keptErr >= 0) close(keptErr);
  close(listenFd);
  close(out[1]);
  close(status[1]);
  return relay(child, out[0], status[0]);
}

int RunDown(const std::vector<std::string>& words) {
  std::vector<std::string> lines;
  int code = kExitRefused;
  std::string reason = joined(words, 1);
  if (!OwnerChannelAsk(reason.empty() ? "down" : "down " + reason, &lines, &code)) {
    SayError("error: no solvarin-cli up of this user runs (a tunnel of another client program: disconnect-force)");
    return kExitRefused;
  }
  for (const std::string& line : lines) SayLine(line);
  return code;
}
