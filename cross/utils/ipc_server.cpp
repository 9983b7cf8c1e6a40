#include "cross/utils/ipc_server.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "cross/utils/connect_initiator.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/socket_io.h"
#include "cross/utils/std_descriptors.h"
#include "cross/utils/ipc_user_bounds.h"

std::map<int, IPC_Client>& clients_list = *new std::map<int, IPC_Client>();
std::mutex mtx_reg_clients;
std::timed_mutex m_ProcessingSendMessageToClientsAF;
std::atomic<int> next_client_id{0};
std::atomic<bool> ready_to_close_sockets{false};
int read_timeout = 10;
std::atomic<int> hello_timeout_ms{10000};

namespace {

const char kOwnerLostReason[] = "Tunnel owner IPC connection lost";
// Accounts with a uid up to this one are system users and are not served.
const uid_t kLastSystemUid = 999;
// Pause after a failed accept, so a persistent failure cannot spin.
const int kAcceptRetryMs = 100;

struct Listener {
  SocketType type;
  const char* path;
  const char* name;
};
const Listener kListeners[] = {
    {SOCKET_CLIENT_SERVER, IPC_CLIENT_SERVER_SOCKET, "client-server"},
    {SOCKET_SERVER_CLIENT, IPC_SERVER_CLIENT_SOCKET, "server-client"},
    {SOCKET_CONNECTION, IPC_CONNECTION_SOCKET, "connection"},
};

// The listening sockets while their accept threads serve them (-1 once
// closed); an accept thread closes its own under listenersMtx.
std::mutex listenersMtx;
int listenerFds[3] = {-1, -1, -1};

// One log entry with this line of this file and the given function name.
#define logLine(function, text) GetLog().WriteToLogFL(__FILE__, __LINE__, function, std::string(text).c_str())

std::string num(long long v) { return std::to_string(v); }

int* slotOf(IPC_Client& client, SocketType type) {
  switch (type) {
    case SOCKET_CLIENT_SERVER: return &client.clientServerSock;
    case SOCKET_SERVER_CLIENT: return &client.serverClientSock;
    case SOCKET_CONNECTION: return &client.connectionSock;
  }
  return nullptr;
}

// Starts a detached thread; false (logged) when the system has no thread to give.
template <typename... Args>
bool startDetached(const char* function, Args&&... args) {
  try {
    std::thread(std::forward<Args>(args)...).detach();
    return true;
  } catch (const std::system_error& e) {
    logLine(function, std::string("cannot start a thread: ") + e.what());
    return false;
  }
}

void shutdownSocket(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

// A push socket is closed only while no push can be using its number.
void closePushSocket(int fd) {
  if (fd < 0) return;
  std::lock_guard<std::timed_mutex> push(m_ProcessingSendMessageToClientsAF);
  IPC_CloseUserConnection(fd);
}

std::string userName(uid_t uid) {
  passwd entry{}, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &entry, buf, sizeof buf, &found) == 0 && found != nullptr) return found->pw_name;
  return num(uid);
}

std::string clientIds() {
  std::string ids;
  for (const auto& [id, client] : clients_list) ids += (ids.empty() ? "" : ", ") + num(id);
  return "[" + ids + "]";
}

bool prepareRunDir() {
  if (mkdir(IPC_RUN_DIR, 0755) == 0) return true;
  if (errno == EEXIST) {
    struct stat st {};
    if (lstat(IPC_RUN_DIR, &st) == 0 && S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
  }
  return false;
}

// Socket, bind and listen of the three listeners, in their order; the
// descriptors land in fds. False (logged) on the first failure.
bool openListeners(int fds[3]) {
  for (int i = 0; i < 3; i++) {
    fds[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fds[i] < 0) {
      logLine("StartConnections", std::string("\n\ripc ") + kListeners[i].name + " socket creation failed" + num(errno));
      return false;
    }
  }
  for (int i = 0; i < 3; i++) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, kListeners[i].path, std::min(strlen(kListeners[i].path), sizeof addr.sun_path - 1));
    unlink(kListeners[i].path);
    if (bind(fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      logLine("StartConnections", std::string("{\n\ripc ") + kListeners[i].name + " socket bind failed " + num(errno));
      return false;
    }
  }
  for (int i = 0; i < 3; i++) {
    if (listen(fds[i], 4096) == 0) continue;
    int err = errno;
    if (i > 0) logLine("StartConnections", std::string("\n\ripc ") + kListeners[i].name + " socket listen failed");
    logLine("StartConnections", std::string("{\n\ripc ") + kListeners[i].name + " socket listen failed " + num(err));
    return false;
  }
  return true;
}

// Stores fd in the record of (user, kind, pid), made when there is none and
// the user holds fewer than kIpcRecordsPerUser (else nullptr). A record
// gathers the connections of one client process: the peer's process id is
// part of the key, so a second program of the same user and kind (a one-shot
// query beside the program that owns the tunnel) gets a record of its own
// instead of taking over the owner's sockets, and a record already marked
// closed takes no new connection. A push socket that the new one replaces is
// returned in replacedPush to be closed once mtx_reg_clients is released; a
// replaced reader socket stays with its reader thread, which keeps serving
// it. The caller holds mtx_reg_clients.
IPC_Client* registerConnection(const std::string& user, uint8_t kind, pid_t pid, SocketType type, int fd,
                               int* replacedPush) {
  *replacedPush = -1;
  int records = 0;
  for (auto& [id, client] : clients_list) {
    if (client.user != user) continue;
    ++records;
    if (client.kind != kind || client.pid != pid || client.closed->load()) continue;
    int* slot = slotOf(client, type);
    if (type == SOCKET_SERVER_CLIENT && *slot >= 0) {
      shutdownSocket(*slot);
      *replacedPush = *slot;
    }
    *slot = fd;
    return &client;
  }
  if (records >= kIpcRecordsPerUser) return nullptr;
  IPC_Client client;
  client.user = user;
  client.id = next_client_id++;
  client.kind = kind;
  client.pid = pid;
  client.closed = std::make_shared<std::atomic<bool>>(false);
  *slotOf(client, type) = fd;
  return &clients_list.emplace(client.id, client).first->second;
}

// SO_PEERCRED check of an accepted connection: true when it may register.
bool peerAllowed(int fd, const char* typeName, ucred* peer) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    logLine("StartAccepting", std::string("ipc ") + typeName + " SO_PEERCRED failed: " + num(errno) + ", connection rejected");
    return false;
  }
  if (cred.uid <= kLastSystemUid) {
    logLine("StartAccepting", std::string("ipc ") + typeName + " rejecting system user: uid=" + num(cred.uid) +
                                  " pid=" + num(cred.pid));
    return false;
  }
  *peer = cred;
  return true;
}

void closeListener(int fd) {
  std::lock_guard<std::mutex> lock(listenersMtx);
  for (int& slot : listenerFds) {
    if (slot == fd) slot = -1;
  }
  close(fd);
}

// Loss handling of a client's request connection; only when fd is still the
// record's own request socket (a replaced connection leaves the client alone).
void onRequestConnectionLost(int fd, int id) {
  {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    auto it = clients_list.find(id);
    if (it == clients_list.end() || it->second.clientServerSock != fd) return;
    it->second.closed->store(true);
  }
  int owner = g_TunnelOwnerClientN;
  if (zorvik::connect_initiator::tracker().markLostIfInitiator(id)) {
    logLine("ClientCycle", "Client " + num(id) + " IPC lost during its connect attempt - attempt cancelled");
  } else if (owner == id) {
    logLine("ClientCycle", "Client " + num(id) + " IPC lost, owner is " + num(owner));
    disConnect(kOwnerLostReason, 0, __FILE__, __LINE__);
    RestoreSuffixesAfterUnmanagedDisconnect(kOwnerLostReason);
  } else {
    logLine("ClientCycle", "Client " + num(id) + " IPC lost, owner is " + num(owner) + " - tunnel kept");
  }
}

// A connection socket's reader is done: its slot is emptied when still its own.
void releaseConnectionSlot(int fd, int id) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  auto it = clients_list.find(id);
  if (it != clients_list.end() && it->second.connectionSock == fd) it->second.connectionSock = -1;
}

const char* lossCause(int code) {
  switch (code) {
    case SN_BAD_ARGUMENTS: return "invalid arguments";
    case SN_PEER_GONE: return "connection reset";
    case SN_PEER_CLOSED: return "closed by peer";
    case SN_OTHER_ERROR: return "unknown socket error";
    case 0: return "marked closed";
  }
  return "unexpected code";
}

}  // namespace

const char* SocketTypeName(int type) {
  switch (type) {
    case SOCKET_CLIENT_SERVER: return "client-server";
    case SOCKET_SERVER_CLIENT: return "server-client";
    case SOCKET_CONNECTION: return "connection";
  }
  return "unknown";
}

void StartConnections() {
  ReopenStandardDescriptorsOnDevNull();
  if (!prepareRunDir()) {
    logLine("StartConnections", std::string("Не удалось подготовить каталог IPC: ") + strerror(errno));
    return;
  }
  int fds[3] = {-1, -1, -1};
  if (!openListeners(fds)) {
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(listenersMtx);
    for (int i = 0; i < 3; i++) listenerFds[i] = fds[i];
  }
  for (int i = 0; i < 3; i++) startDetached("StartConnections", StartAccepting, fds[i], kListeners[i].type);
}

void IPC_StopListening() {
  ready_to_close_sockets = true;
  std::lock_guard<std::mutex> lock(listenersMtx);
  for (int fd : listenerFds) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  // No socket file outlives the daemon that listened on it: a client (or a
  // script waiting for the sockets) finds none rather than a dead one.
  for (const Listener& l : kListeners) unlink(l.path);
}

void RegisterConnection(int fd, SocketType type, uid_t uid, pid_t pid) {
  const char* typeName = SocketTypeName(type);
  unsigned char hello[IPC_HELLO_SIZE] = {};
  int got = recv_sn_within(fd, reinterpret_cast<char*>(hello), IPC_HELLO_SIZE, hello_timeout_ms);
  if (got < 0) {
    logLine("StartAccepting", std::string("ipc ") + typeName + " socket " + num(fd) + " registration failed: " + num(got));
    IPC_CloseUserConnection(fd);
    return;
  }
  uint8_t kind = hello[0];
  std::string user = userName(uid);
  int replacedPush = -1;
  {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    IPC_Client* record = registerConnection(user, kind, pid, type, fd, &replacedPush);
    if (record == nullptr) {
      logLine("StartAccepting", std::string("ipc ") + typeName + " socket " + num(fd) + " refused: user " + user +
                                    " holds " + num(kIpcRecordsPerUser) + " clients");
      IPC_CloseUserConnection(fd);
      return;
    }
    IPC_Client& client = *record;
    unsigned char answer[IPC_HELLO_SIZE] = {};
    int32_t id = client.id;
    memcpy(answer + 1, &id, sizeof id);
    int sent = send_sn(fd, reinterpret_cast<char*>(answer), IPC_HELLO_SIZE, 0);
    if (sent < 0) logLine("StartAccepting", "StartAccepting: failed to send registration answer. Сode " + num(sent));
    logLine("StartAccepting", "Client with type" + num(kind) + "name: " + user + " registered. Direction " + typeName +
                                  ". Client sock: " + num(fd));
    timeval tv{read_timeout, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (type != SOCKET_SERVER_CLIENT && !startDetached("StartAccepting", ClientCycle, fd, client.closed, type, client.id)) {
      *slotOf(client, type) = -1;  // nobody would ever serve or close it
      IPC_CloseUserConnection(fd);
    }
  }
  closePushSocket(replacedPush);
}

void StartAccepting(int listenFd, SocketType type) {
  const char* typeName = SocketTypeName(type);
  for (;;) {
    int fd = ready_to_close_sockets ? -1 : accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (ready_to_close_sockets) {
      if (fd >= 0) close(fd);
      closeListener(listenFd);
      return;
    }
    if (fd < 0) {
      logLine("StartAccepting", std::string("\n\ripc ") + typeName + " socket " + num(listenFd) + " accept failed: " + num(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryMs));
      continue;
    }
    ucred peer{};
    if (!peerAllowed(fd, typeName, &peer)) {
      close(fd);
      continue;
    }
    if (IPC_UserBackedOff(peer.uid)) {
      logLine("StartAccepting", std::string("ipc ") + typeName + " socket " + num(fd) + " refused: uid " + num(peer.uid) +
                                    " backed off after a client that took no pushes");
      close(fd);
      continue;
    }
    if (!IPC_TakeUserConnection(peer.uid, fd)) {
      logLine("StartAccepting", std::string("ipc ") + typeName + " socket " + num(fd) + " refused: uid " + num(peer.uid) +
                                    " holds " + num(kIpcConnectionsPerUser) + " connections");
      close(fd);
      continue;
    }
    // The hello is read on a thread of its own, so a silent peer never
    // holds up the next connection.
    if (!startDetached("StartAccepting", RegisterConnection, fd, type, peer.uid, peer.pid)) IPC_CloseUserConnection(fd);
  }
}

void ClientCycle(int fd, ClosedFlag closed, SocketType type, int id) {
  logLine("ClientCycle", "Client started. sock " + num(fd));
  auto msg = std::make_unique<ServicePipeMessage_t>();
  char* bytes = reinterpret_cast<char*>(msg.get());
  int code = 0;
  while (!closed->load()) {
    code = recv_sn(fd, bytes, IPC_MESSAGE_SIZE, 0);
    if (code < 0) break;
    // The requester is the client this connection belongs to, whatever
    // number the message carries.
    msg->clientN = id;
    if (type == SOCKET_CLIENT_SERVER) AnswerClientMessage(msg.get());
    else AnswerClientConnectRequest(msg.get());
    code = send_sn(fd, bytes, IPC_MESSAGE_SIZE, 0);
    if (code < 0) break;
    code = 0;
  }
  memset(bytes, 0, IPC_MESSAGE_SIZE);
  logLine("ClientCycle", "Client " + num(id) + " " + SocketTypeName(type) + " socket " + num(fd) + ": " + lossCause(code));
  if (type == SOCKET_CLIENT_SERVER) {
    onRequestConnectionLost(fd, id);
    CloseConnection(fd, type);
  } else {
    releaseConnectionSlot(fd, id);
  }
  IPC_CloseUserConnection(fd);
}

void CloseConnection(int fd, SocketType type) {
  if (type == SOCKET_CONNECTION) return;
  logLine("CloseConnection", "Trying to close client connection...");
  int pushSock = -1;
  {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    auto it = clients_list.begin();
    while (it != clients_list.end() && it->second.clientServerSock != fd) ++it;
    if (it == clients_list.end()) {
      logLine("CloseConnection", "Client with sock " + num(fd) + " already removed, nothing to close");
      return;
    }
    IPC_Client& client = it->second;
    logLine("CloseConnection", "Closing client " + num(client.id));
    shutdownSocket(client.clientServerSock);
    shutdownSocket(client.connectionSock);
    shutdownSocket(client.serverClientSock);
    pushSock = client.serverClientSock;
    int owner = client.id;
    if (g_TunnelOwnerClientN.compare_exchange_strong(owner, -1)) {
      logLine("CloseConnection", "Tunnel owner (client " + num(client.id) + ") record removed, owner cleared");
    }
    int id = client.id;
    clients_list.erase(it);
    logLine("CloseConnection", "Client " + num(id) + " connection successfully closed. Clients left: " + clientIds());
  }
  closePushSocket(pushSock);
}

namespace {

// A client whose push could not be delivered is let go, so that the pushes
// to the others go on: its push socket is closed (the caller holds the push
// lock) and its other sockets are shut down, which ends its readers and
// removes the record; a record without a request reader is removed here.
// One that took nothing in time also backs its user off.
void dropPushTarget(int id, int fd, PushResult why) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  auto it = clients_list.find(id);
  if (it == clients_list.end() || it->second.serverClientSock != fd) return;
  IPC_Client& client = it->second;
  logLine("IPC_SendToClient", "Client " + num(id) + " does not take its pushes, dropped");
  client.closed->store(true);
  client.serverClientSock = -1;
  shutdownSocket(fd);
  if (why == PUSH_NOT_TAKEN) IPC_BackOffUserOf(fd);
  IPC_CloseUserConnection(fd);
  shutdownSocket(client.clientServerSock);
  shutdownSocket(client.connectionSock);
  if (client.clientServerSock < 0) clients_list.erase(it);
}

bool pushFailed(PushResult r) { return r == PUSH_NOT_SENT || r == PUSH_NOT_TAKEN; }

// Set when the shutdown's message 45 is on its way. The push lock is not
// fair: without this, pushes that clients keep starting could take it before
// 45 again and again until 45's time ran out.
std::atomic<bool> stoppingPushBegun{false};

// Whether msg may go out; the caller holds the push lock.
bool pushMayStart(const ServicePipeMessage_t& msg) {
  if (!stoppingPushBegun.load() || msg.code == IPC_MSG_SERVICE_STOPPING) return true;
  logLine("IPC_SendToClient", "IPC_SendToClient: the service is stopping, code " + num(msg.code) + " not sent");
  return false;
}

// The push to one client; the caller holds the push lock.
int pushToOne(ServicePipeMessage_t* msg, int id) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    auto it = clients_list.find(id);
    if (it == clients_list.end()) {
      logLine("IPC_SendToClient", "IPC_SendToClient: wrong client id");
      return 0;
    }
    fd = it->second.serverClientSock;
  }
  PushResult r = IPC_Proceed(msg, fd);
  if (pushFailed(r) && fd >= 0) dropPushTarget(id, fd, r);
  return r == PUSH_DONE ? 1 : 0;
}

// Every client but the one named in the message, with their push sockets
// (code 45 also marks each of them closed).
std::vector<std::pair<int, int>> broadcastTargets(const ServicePipeMessage_t& msg) {
  std::vector<std::pair<int, int>> targets;  // client id, push socket
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  for (auto& [cid, client] : clients_list) {
    if (cid == msg.clientN) continue;
    if (msg.code == IPC_MSG_SERVICE_STOPPING) client.closed->store(true);
    if (client.serverClientSock >= 1) targets.emplace_back(cid, client.serverClientSock);
  }
  return targets;
}

// The push to every target at once within timeoutMs; the caller holds the
// push lock.
void pushToAll(const ServicePipeMessage_t* msg, const std::vector<std::pair<int, int>>& targets, int timeoutMs) {
  std::vector<int> fds;
  for (auto [cid, fd] : targets) fds.push_back(fd);
  std::vector<PushResult> results = IPC_ProceedAll(msg, fds, timeoutMs);
  for (size_t i = 0; i < targets.size(); i++) {
    if (pushFailed(results[i])) dropPushTarget(targets[i].first, targets[i].second, results[i]);
  }
}

}  // namespace

int IPC_SendToClient(ServicePipeMessage_t* msg, int id) {
  std::lock_guard<std::timed_mutex> push(m_ProcessingSendMessageToClientsAF);
  if (!pushMayStart(*msg)) return 0;
  if (id >= 0) return pushToOne(msg, id);
  pushToAll(msg, broadcastTargets(*msg), push_send_timeout_ms);
  return 1;
}

int IPC_SendToClientsWithin(ServicePipeMessage_t* msg, int totalMs) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
  stoppingPushBegun = true;
  std::unique_lock<std::timed_mutex> push(m_ProcessingSendMessageToClientsAF, deadline);
  if (!push.owns_lock()) {
    broadcastTargets(*msg);  // code 45 marks the clients closed all the same
    logLine("IPC_SendToClient", "IPC_SendToClient: pushes busy, code " + num(msg->code) + " not sent");
    return 0;
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  pushToAll(msg, broadcastTargets(*msg), static_cast<int>(std::max<long long>(left, 0)));
  return 1;
}

bool IPC_ClientAliveLocked(int id) {
  auto it = clients_list.find(id);
  return it != clients_list.end() && !it->second.closed->load();
}

bool IPC_ClientAlive(int id) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  return IPC_ClientAliveLocked(id);
}

void IPC_DropClient(int id) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  auto it = clients_list.find(id);
  if (it == clients_list.end()) return;
  it->second.closed->store(true);
  shutdownSocket(it->second.clientServerSock);
}
