// libFuzzer target: client bytes into the IPC server's readers: a hello read
// and registered as a push connection's, then requests read and answered by
// the reader of a request or connection socket, with the service core's
// handlers and engine hooks installed as solvarind installs them. Socket
// pairs stand in for accepted connections.
//
// The target runs in network and mount namespaces of its own, with a tmpfs
// over the run directory: no filter answers there (the engine's requests
// fail at once), and no command reaches the machine's interfaces, its DNS
// settings or its system bus.
//
// Input: flags byte (bit 0: connection socket, else request socket), the
// 128-byte hello (zero-padded when the input is shorter), then the request
// bytes, cut into messages by the reader itself.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Service/common/core/service_main.h"

#include "cross/utils/execution_dir.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"
#include "tests/common/fuzz_support.h"

namespace {

using zor::fuzz::Bytes;

constexpr uid_t kUser = 1000;
constexpr size_t kMaxRequests = 4;   // their answers fit the socket unread

bool SendAll(int fd, const Bytes &b) {
  size_t done = 0;
  while (done < b.size()) {
    ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Registers a push connection with this hello; its id, or -1. *peer is the
// client's end.
int Register(const Bytes &hello, int *peer) {
  int s[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) abort();
  *peer = s[1];
  SendAll(s[1], hello);
  RegisterConnection(s[0], SOCKET_SERVER_CLIENT, kUser, getpid());
  unsigned char answer[IPC_HELLO_SIZE];
  if (recv(s[1], answer, sizeof answer, MSG_DONTWAIT | MSG_WAITALL) != IPC_HELLO_SIZE) return -1;
  int32_t id;
  memcpy(&id, answer + 1, sizeof id);
  return id;
}

// Runs one reader over the request bytes until they end.
void Serve(SocketType type, int id, const Bytes &requests) {
  int s[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) abort();
  SendAll(s[1], requests);
  shutdown(s[1], SHUT_WR);
  ClientCycle(s[0], std::make_shared<std::atomic<bool>>(false), type, id);
  close(s[1]);
}

Bytes Seed(uint8_t flags, uint8_t kind, std::initializer_list<uint32_t> codes) {
  Bytes in = {flags, kind};
  in.resize(1 + IPC_HELLO_SIZE, 0);
  for (uint32_t code : codes) {
    ServicePipeMessage_t msg{};
    msg.code = code;
    memcpy(msg.payload, "text", 4);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&msg);
    in.insert(in.end(), p, p + IPC_MESSAGE_SIZE);
  }
  return in;
}

zor::fuzz::Seeds MakeSeeds() {
  return {
      {"hello-only", Seed(0, 0, {})},
      {"request", Seed(0, 2, {12})},
      {"two-requests", Seed(0, 3, {1, 2})},
      {"connect", Seed(1, 4, {3})},
      {"disconnect", Seed(1, 5, {6})},
  };
}

// Network and mount namespaces of this process's own; false when refused.
bool EnterPrivateNamespaces() {
  char run[PATH_MAX];
  if (!realpath("/var/run", run)) return false;
  return unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("tmpfs", run, "tmpfs", 0, "mode=0755") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  if (!EnterPrivateNamespaces()) {
    fprintf(stderr, "service_ipc_fuzz: needs root for namespaces of its own: %s\n", strerror(errno));
    abort();
  }
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  char dir[] = "/tmp/ipc-fuzz-XXXXXX";   // the service's install directory
  if (!mkdtemp(dir)) abort();
  snprintf(installDir, sizeof installDir, "%s", dir);
  memcpy(settingsDir, installDir, sizeof settingsDir);
  GetLog().LogEnable(0);
  InstallServiceHandlers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  SocketType type = (in.Byte() & 1) ? SOCKET_CONNECTION : SOCKET_CLIENT_SERVER;
  Bytes hello(IPC_HELLO_SIZE);
  for (uint8_t &b : hello) b = in.Byte();
  Bytes requests = in.Rest();
  if (requests.size() > kMaxRequests * IPC_MESSAGE_SIZE) requests.resize(kMaxRequests * IPC_MESSAGE_SIZE);
  int push = -1;
  int id = Register(hello, &push);
  Serve(type, id, requests);
  // The push connection goes; the next push finds it gone and drops the client.
  close(push);
  if (id >= 0) {
    ServicePipeMessage_t msg{};
    msg.code = 50;
    IPC_SendToClient(&msg, id);
  }
  return 0;
}
