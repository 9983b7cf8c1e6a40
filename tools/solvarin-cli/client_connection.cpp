#include "tools/solvarin-cli/client_connection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cross/utils/socket_io.h"

namespace {

int connectTo(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, strlen(path));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Hello out, answer in: the id the daemon gave, or -1 when it refused.
int registerSocket(int fd, unsigned char kind) {
  char hello[IPC_HELLO_SIZE] = {};
  hello[0] = static_cast<char>(kind);
  if (send_sn(fd, hello, IPC_HELLO_SIZE, 0) != static_cast<int>(IPC_HELLO_SIZE)) return -1;
  char answer[IPC_HELLO_SIZE] = {};
  if (recv_sn(fd, answer, IPC_HELLO_SIZE, 0) != static_cast<int>(IPC_HELLO_SIZE)) return -1;
  int32_t id = -1;
  memcpy(&id, answer + 1, sizeof id);
  return id;
}

}  // namespace

bool RegisterClient(ClientConnection* conn, unsigned char kind, std::string* error) {
  struct Target {
    const char* path;
    int* fd;
  } targets[] = {{IPC_CLIENT_SERVER_SOCKET, &conn->requestSock},
                 {IPC_SERVER_CLIENT_SOCKET, &conn->pushSock},
                 {IPC_CONNECTION_SOCKET, &conn->connectionSock}};
  for (const Target& t : targets) {
    *t.fd = connectTo(t.path);
    if (*t.fd < 0) {
      int err = errno;
      *error = std::string("cannot connect to ") + t.path + ": " + strerror(err);
      if (err == ENOENT || err == ECONNREFUSED) *error += " - solvarind is not running; start it first";
      return false;
    }
    conn->id = registerSocket(*t.fd, kind);
    if (conn->id < 0) {
      *error = std::string("registration refused on ") + t.path + " - the daemon serves user ids of " +
               "1000 and more only (this is " + std::to_string(getuid()) + "); run as such a user";
      return false;
    }
  }
  return true;
}

bool Exchange(int fd, ServicePipeMessage_t* msg) {
  char* bytes = reinterpret_cast<char*>(msg);
  return send_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) == static_cast<int>(IPC_MESSAGE_SIZE) &&
         recv_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) == static_cast<int>(IPC_MESSAGE_SIZE);
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
