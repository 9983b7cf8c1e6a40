#include "tools/solvarin-cli/client_connection.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "Service/common/core/instance_lock.h"
#include "cross/utils/socket_io.h"
#include "tools/solvarin-cli/exit_codes.h"

namespace {

// The daemon answers a hello at once; a daemon that takes longer is taken
// for one that is stopping or hung.
const int kHelloAnswerMs = 5000;
// The daemon serves user ids above this one.
const uid_t kLastSystemUid = 999;

int connectTo(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, strlen(path));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// Hello out, answer in: the id the daemon gave, or -1 when it closed the
// connection, -2 when it did not answer in time.
int registerSocket(int fd, unsigned char kind) {
  char hello[IPC_HELLO_SIZE] = {};
  hello[0] = static_cast<char>(kind);
  if (send_sn(fd, hello, IPC_HELLO_SIZE, 0) != static_cast<int>(IPC_HELLO_SIZE)) return -1;
  char answer[IPC_HELLO_SIZE] = {};
  int got = recv_sn_within(fd, answer, IPC_HELLO_SIZE, kHelloAnswerMs);
  if (got == SN_OTHER_ERROR) return -2;
  if (got != static_cast<int>(IPC_HELLO_SIZE)) return -1;
  int32_t id = -1;
  memcpy(&id, answer + 1, sizeof id);
  return id;
}

// The process that listens on the socket fd is connected to.
pid_t listenerPid(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
}

bool processExists(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// A solvarind that runs but takes no clients: it holds the instance lock,
// and its phase file says whether it has not started serving or is stopping.
// Its pid (0 when there is none) and the phase word of the file.
pid_t daemonWithoutSockets(std::string* phase) {
  std::ifstream lock(SOLVARIND_PHASE_PATH);
  pid_t pid = 0;
  if (!(lock >> pid) || !processExists(pid)) return 0;
  lock >> *phase;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return comm >> name && name == "solvarind" ? pid : 0;
}

int connectFailure(const char* path, int err, std::string* error) {
  if (err != ENOENT && err != ECONNREFUSED) {
    *error = std::string("cannot reach ") + path + ": " + strerror(err);
    return err == EACCES ? kExitRefused : kExitNoDaemon;
  }
  std::string phase;
  pid_t pid = daemonWithoutSockets(&phase);
  if (pid && phase == InstancePhaseWord(INSTANCE_STOPPING)) {
    *error = "daemon stopping: solvarind (pid " + std::to_string(pid) + ") is stopping and takes no new clients";
  } else if (pid) {
    *error = "no daemon yet: solvarind (pid " + std::to_string(pid) +
             ") runs but does not serve clients yet; it waits for the network filter (zornfhost or the kernel module)";
  } else {
    *error = std::string("no daemon: solvarind is not running (") + (err == ENOENT ? "no socket " : "nobody listens on ") +
             path + "); start it first";
  }
  return kExitNoDaemon;
}

// Why the daemon did not register this client (-1 closed, -2 no answer).
int registrationFailure(int fd, int outcome, std::string* error) {
  uid_t uid = geteuid();
  pid_t daemon = listenerPid(fd);
  if (daemon > 0 && !processExists(daemon)) {
    *error = "daemon stopping: solvarind (pid " + std::to_string(daemon) + ") has ended and its sockets are closing";
    return kExitNoDaemon;
  }
  if (uid <= kLastSystemUid) {
    *error = "registration refused: user id " + std::to_string(uid) +
             " is below 1000; the daemon serves user ids of 1000 and more (run as such a user)";
    return kExitRefused;
  }
  if (outcome == -2) {
    *error = "no daemon: solvarind (pid " + std::to_string(daemon) + ") does not answer (it may be stopping)";
    return kExitNoDaemon;
  }
  *error = "registration refused: solvarind closed the connection (this user may hold too many connections)";
  return kExitRefused;
}

}  // namespace

int RegisterClient(ClientConnection* conn, unsigned char kind, std::string* error) {
  struct Target {
    const char* path;
    int* fd;
  } targets[] = {{IPC_CLIENT_SERVER_SOCKET, &conn->requestSock},
                 {IPC_SERVER_CLIENT_SOCKET, &conn->pushSock},
                 {IPC_CONNECTION_SOCKET, &conn->connectionSock}};
  for (const Target& t : targets) {
    *t.fd = connectTo(t.path);
    if (*t.fd < 0) return connectFailure(t.path, errno, error);
    // Sockets that outlive the daemon take connections nobody will answer.
    pid_t daemon = listenerPid(*t.fd);
    if (daemon > 0 && !processExists(daemon)) return registrationFailure(*t.fd, -1, error);
    int id = registerSocket(*t.fd, kind);
    if (id < 0) return registrationFailure(*t.fd, id, error);
    conn->id = id;
  }
  return kExitOk;
}

bool Exchange(int fd, ServicePipeMessage_t* msg, int timeoutMs) {
  char* bytes = reinterpret_cast<char*>(msg);
  if (send_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) != static_cast<int>(IPC_MESSAGE_SIZE)) return false;
  int got = timeoutMs > 0 ? recv_sn_within(fd, bytes, IPC_MESSAGE_SIZE, timeoutMs) : recv_sn(fd, bytes, IPC_MESSAGE_SIZE, 0);
  return got == static_cast<int>(IPC_MESSAGE_SIZE);
}

std::string DescribeMessage(const ServicePipeMessage_t& msg) {
  std::string text;
  for (size_t i = 0; i < 64 && msg.payload[i] >= 0x20 && msg.payload[i] < 0x7F; i++) {
    text += static_cast<char>(msg.payload[i]);
  }
  return "code=" + std::to_string(msg.code) + " client=" + std::to_string(msg.clientN) +
         " result=" + std::to_string(msg.result) + " value1=" + std::to_string(msg.value1) +
         " value2=" + std::to_string(msg.value2) + " text=" + text;
}
