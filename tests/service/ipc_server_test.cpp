#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cross/utils/connect_initiator.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/ipc_user_bounds.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/socket_io.h"
#include "tests/service/ipc_test_support.h"
#include "tests/service/service_env.h"

namespace {

using zorvik::connect_initiator::tracker;

const uid_t kUser = 1000;
const uid_t kOtherUser = 1001;

std::unique_ptr<ServicePipeMessage_t> message(uint32_t code, int32_t clientN) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  memset(msg.get(), 0, sizeof *msg);
  msg->code = code;
  msg->clientN = clientN;
  return msg;
}

bool registered(int id) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  return clients_list.count(id) != 0;
}

IPC_Client record(int id) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  auto it = clients_list.find(id);
  return it == clients_list.end() ? IPC_Client{} : it->second;
}

size_t recordedDisconnects() {
  std::lock_guard<std::mutex> lock(recording().mtx);
  return recording().disconnects.size();
}

// A raw connection to one of the server's sockets, or -1.
int connectToServer(const char* path = IPC_CLIENT_SERVER_SOCKET) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);   // client programs started later must not hold it
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// Runs fn on a thread of its own whose effective uid is uid: the raw
// setresuid changes that thread alone, so the server sees uid as the peer of
// every socket fn connects, and nothing is forked.
void onThreadAs(uid_t uid, const std::function<void()>& fn) {
  std::thread t([&] {
    if (syscall(SYS_setresuid, -1, uid, -1) != 0) {
      ADD_FAILURE() << "setresuid " << uid;
      return;
    }
    fn();
  });
  t.join();
}

// Sends a hello of this kind on fd; the id the server answers, -1 when the
// server hung up or did not answer in time.
int hello(int fd, uint8_t kind) {
  unsigned char h[IPC_HELLO_SIZE] = {kind};
  if (send_sn(fd, reinterpret_cast<char*>(h), IPC_HELLO_SIZE, 0) != IPC_HELLO_SIZE) return -1;
  if (recv_sn_within(fd, reinterpret_cast<char*>(h), IPC_HELLO_SIZE, 2000) != IPC_HELLO_SIZE) return -1;
  int32_t id;
  memcpy(&id, h + 1, sizeof id);
  return id;
}

// True once the server closed its end of fd.
bool hungUp(int fd) {
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

size_t recordsOf(const std::string& user) {
  std::lock_guard<std::mutex> lock(mtx_reg_clients);
  size_t n = 0;
  for (const auto& [id, client] : clients_list) n += client.user == user;
  return n;
}

bool logHas(const std::string& text) { return ServiceLogText().find(text) != std::string::npos; }

class IpcServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!StartPrivateIpcServer(&reason)) GTEST_SKIP() << reason;
    // The clients of the tests before are gone first: a loss handled late
    // would otherwise be recorded here.
    Eventually([] {
      std::lock_guard<std::mutex> lock(mtx_reg_clients);
      return clients_list.empty();
    });
    ClearRecording();
    g_TunnelOwnerClientN = -1;
    tracker().end(tracker().initiator());
    hello_timeout_ms = 10000;
    push_answer_timeout_ms = 120000;
    push_send_timeout_ms = 2000;
    ipc_back_off_ms = 10000;
  }
};

TEST_F(IpcServer, ThreeConnectionsOfOneUserAndKindFormOneClient) {
  int firstId = next_client_id;
  ClientProcess a(kUser, {"--kind", "0"});
  int id = a.registeredId();
  ASSERT_GE(id, 0);
  EXPECT_EQ(id, firstId);  // the first client of a fresh server is 0
  ASSERT_TRUE(Eventually([&] { return record(id).connectionSock >= 0; }));
  IPC_Client c = record(id);
  EXPECT_GE(c.clientServerSock, 3);
  EXPECT_GE(c.serverClientSock, 3);
  EXPECT_EQ(c.kind, 0);
  EXPECT_FALSE(c.user.empty());
  ASSERT_TRUE(IPC_ClientAlive(id));

  ClientProcess b(kUser, {"--kind", "1"});  // same user, another kind: another client
  int other = b.registeredId();
  ASSERT_GE(other, 0);
  EXPECT_NE(other, id);
  EXPECT_EQ(record(other).user, c.user);
}

TEST_F(IpcServer, RequestsAreAnsweredOnTheirOwnSockets) {
  ClientProcess a(kUser, {"--kind", "2"});
  int id = a.registeredId();
  ASSERT_GE(id, 0);
  a.send("request 12 5 6 7 hello there");
  EXPECT_EQ(a.expect("reply"), "reply code=12 client=" + std::to_string(id) + " result=1012 value1=6 value2=7 text=hello there");
  a.send("connect 9");
  EXPECT_EQ(a.expect("reply"), "reply code=3 client=" + std::to_string(id) + " result=2003 value1=0 value2=0 text=");
  a.send("disconnect bye");
  EXPECT_EQ(a.expect("reply"), "reply code=6 client=" + std::to_string(id) + " result=2006 value1=0 value2=0 text=bye");
}

TEST_F(IpcServer, TheClientProgramRunsOneActionFromItsCommandLine) {
  ClientProcess once(kUser, {"--kind", "18", "request", "33", "0", "1", "2", "text"}, false);
  int id = once.registeredId();
  ASSERT_GE(id, 0);
  EXPECT_EQ(once.expect("reply"), "reply code=33 client=" + std::to_string(id) + " result=1033 value1=1 value2=2 text=text");
  EXPECT_EQ(once.waitExit(), 1);  // the echo's result is no success for command 33: refused
}

TEST_F(IpcServer, TheRequesterIsTheClientOfTheConnectionNotTheNumberItWrote) {
  ClientProcess victim(kUser, {"--kind", "3"});
  int victimId = victim.registeredId();
  ASSERT_GE(victimId, 0);
  int fd = -1;
  onThreadAs(kUser, [&] { fd = connectToServer(); });
  ASSERT_GE(fd, 0);
  int own = hello(fd, 4);
  ASSERT_GE(own, 0);
  auto msg = message(20, victimId);  // claims to be the other client
  char* bytes = reinterpret_cast<char*>(msg.get());
  ASSERT_EQ(send_sn(fd, bytes, IPC_MESSAGE_SIZE, 0), IPC_MESSAGE_SIZE);
  ASSERT_EQ(recv_sn_within(fd, bytes, IPC_MESSAGE_SIZE, 5000), IPC_MESSAGE_SIZE);
  close(fd);
  EXPECT_EQ(msg->clientN, own);
  EXPECT_NE(own, victimId);
  std::lock_guard<std::mutex> lock(recording().mtx);
  ASSERT_EQ(recording().requesters.size(), 1u);
  EXPECT_NE(recording().requesters[0], victimId);
}

TEST_F(IpcServer, BroadcastSkipsTheClientNamedInTheMessage) {
  ClientProcess a(kUser, {"--kind", "5"});
  ClientProcess b(kUser, {"--kind", "6"});
  int ida = a.registeredId(), idb = b.registeredId();
  ASSERT_GE(ida, 0);
  ASSERT_GE(idb, 0);
  ASSERT_TRUE(Eventually([&] { return record(ida).serverClientSock >= 0 && record(idb).serverClientSock >= 0; }));
  auto broadcast = message(50, ida);
  broadcast->result = 7;
  EXPECT_EQ(IPC_SendToClient(broadcast.get(), -1), 1);
  EXPECT_EQ(b.expect("push"), "push code=50 client=" + std::to_string(ida) + " result=7 value1=0 value2=0 text=");
  auto direct = message(64, ida);
  EXPECT_EQ(IPC_SendToClient(direct.get(), ida), 1);
  EXPECT_EQ(a.expect("push"), "push code=64 client=" + std::to_string(ida) + " result=0 value1=0 value2=0 text=");
  EXPECT_TRUE(IPC_ClientAlive(ida));
  EXPECT_TRUE(IPC_ClientAlive(idb));
}

TEST_F(IpcServer, PushToAnUnknownClientFails) {
  auto msg = message(50, -1);
  EXPECT_EQ(IPC_SendToClient(msg.get(), 100000), 0);
  EXPECT_TRUE(logHas("IPC_SendToClient: wrong client id"));
}

TEST_F(IpcServer, ServiceStoppingMarksClientsClosedAndTheyGo) {
  ClientProcess a(kUser, {"--kind", "7"});
  int id = a.registeredId();
  ASSERT_GE(id, 0);
  auto stop = message(IPC_MSG_SERVICE_STOPPING, -1);
  stop->result = 1;
  EXPECT_EQ(IPC_SendToClient(stop.get(), -1), 1);
  EXPECT_EQ(a.expect("push"), "push code=45 client=-1 result=1 value1=0 value2=0 text=");
  EXPECT_FALSE(IPC_ClientAlive(id));
  // The reader ends at its next loop test, after at most the request it was
  // already waiting for; then the client's sockets are closed.
  a.send("request 1");
  EXPECT_NE(a.expectOneOf({"push socket closed", "error: the daemon closed the connection"}), "");
  EXPECT_TRUE(Eventually([&] { return !registered(id); }));
  EXPECT_EQ(recordedDisconnects(), 0u);
}

TEST_F(IpcServer, SystemUsersAreRefusedBeforeAnythingIsRead) {
  for (uid_t uid : {0u, 999u}) {
    int before = next_client_id;
    ClientProcess p(uid, {});
    pid_t pid = p.pid();
    EXPECT_NE(p.expect("error: registration refused"), "") << uid;
    EXPECT_EQ(p.waitExit(), 1);
    EXPECT_EQ(next_client_id, before);
    EXPECT_TRUE(logHas("rejecting system user: uid=" + std::to_string(uid) + " pid=" + std::to_string(pid)));
  }
}

TEST_F(IpcServer, LosingTheTunnelOwnersRequestConnectionDisconnects) {
  ClientProcess owner(kOtherUser, {"--kind", "8"});
  int id = owner.registeredId();
  ASSERT_GE(id, 0);
  g_TunnelOwnerClientN = id;
  owner.kill();
  ASSERT_TRUE(Eventually([&] { return !registered(id); }));
  std::lock_guard<std::mutex> lock(recording().mtx);
  ASSERT_EQ(recording().disconnects.size(), 1u);
  EXPECT_EQ(recording().disconnects[0], "Tunnel owner IPC connection lost|0");
  ASSERT_EQ(recording().restores.size(), 1u);
  EXPECT_EQ(recording().restores[0], "Tunnel owner IPC connection lost");
  EXPECT_EQ(g_TunnelOwnerClientN, -1);
}

TEST_F(IpcServer, LosingAnotherClientKeepsTheTunnel) {
  ClientProcess owner(kOtherUser, {"--kind", "9"});
  ClientProcess other(kOtherUser, {"--kind", "10"});
  int ownerId = owner.registeredId(), otherId = other.registeredId();
  ASSERT_GE(ownerId, 0);
  ASSERT_GE(otherId, 0);
  g_TunnelOwnerClientN = ownerId;
  other.kill();
  ASSERT_TRUE(Eventually([&] { return !registered(otherId); }));
  EXPECT_EQ(recordedDisconnects(), 0u);
  EXPECT_EQ(g_TunnelOwnerClientN, ownerId);
  EXPECT_TRUE(logHas("Client " + std::to_string(otherId) + " IPC lost, owner is " + std::to_string(ownerId) +
                     " - tunnel kept"));
}

TEST_F(IpcServer, LosingTheConnectInitiatorCancelsItsAttempt) {
  ClientProcess initiator(kOtherUser, {"--kind", "11"});
  int id = initiator.registeredId();
  ASSERT_GE(id, 0);
  tracker().begin(id);
  g_TunnelOwnerClientN = id;
  initiator.kill();
  ASSERT_TRUE(Eventually([&] { return tracker().initiatorLost(); }));
  EXPECT_TRUE(Eventually([&] { return !registered(id); }));
  EXPECT_EQ(recordedDisconnects(), 0u);
  EXPECT_TRUE(logHas("Client " + std::to_string(id) + " IPC lost during its connect attempt - attempt cancelled"));
  tracker().end(id);
  EXPECT_FALSE(tracker().initiatorLost());
}

TEST_F(IpcServer, SynchronousPushesTakeTheClientsAnswer) {
  ClientProcess a(kUser, {"--kind", "12", "--sign-answer", "0102ab", "--pki-verdict", "5", "--pki-answer", "cafe"});
  int id = a.registeredId();
  ASSERT_GE(id, 0);
  ASSERT_TRUE(Eventually([&] { return record(id).serverClientSock >= 0; }));
  auto sign = message(IPC_MSG_SIGN_SYN, id);
  sign->result = 79;
  ASSERT_EQ(IPC_SendToClient(sign.get(), id), 1);
  EXPECT_EQ(sign->result, 0u);
  EXPECT_EQ(sign->value2, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(sign->payload), 3), "\x01\x02\xab");

  auto pki = message(IPC_MSG_CHECK_PKI, id);
  pki->value2 = 78;
  ASSERT_EQ(IPC_SendToClient(pki.get(), id), 1);
  EXPECT_EQ(pki->value2, 5u);
  EXPECT_EQ(pki->value1, 2u);
  EXPECT_EQ(pki->payload[0], 0xca);
  EXPECT_EQ(pki->payload[1], 0xfe);
}

TEST_F(IpcServer, AClientThatLeavesASynchronousPushUnansweredIsGivenUp) {
  ClientProcess silent(kUser, {"--kind", "13", "--no-answer"});
  ClientProcess other(kUser, {"--kind", "14"});
  int id = silent.registeredId(), otherId = other.registeredId();
  ASSERT_GE(id, 0);
  ASSERT_GE(otherId, 0);
  ASSERT_TRUE(Eventually([&] { return record(id).serverClientSock >= 0 && record(otherId).serverClientSock >= 0; }));
  push_answer_timeout_ms = 300;
  auto sign = message(IPC_MSG_SIGN_SYN, id);
  EXPECT_EQ(IPC_SendToClient(sign.get(), id), 0);
  EXPECT_TRUE(logHas("IPC_Proceed: recv failed, code -42"));
  auto next = message(50, otherId);
  EXPECT_EQ(IPC_SendToClient(next.get(), otherId), 1);  // pushes go on
  EXPECT_NE(other.expect("push code=50"), "");
}

TEST_F(IpcServer, ASilentNewConnectionIsDroppedWithoutHoldingUpOthers) {
  hello_timeout_ms = 3000;
  int silent = -1;
  onThreadAs(kUser, [&] { silent = connectToServer(); });
  ASSERT_GE(silent, 0);
  ClientProcess a(kUser, {"--kind", "15"});
  EXPECT_GE(a.registeredId(), 0);
  pollfd p{silent, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);  // registered while the silent one still waits
  EXPECT_EQ(poll(&p, 1, 5000), 1);
  char buf[16];
  EXPECT_EQ(recv(silent, buf, sizeof buf, MSG_DONTWAIT), 0);  // the server hangs up on it
  close(silent);
  EXPECT_TRUE(logHas("registration failed: -42"));
}

TEST_F(IpcServer, AReplacedRequestConnectionLeavesTheClientAlone) {
  // One process registers its request connection twice: the second takes
  // the record's slot, and losing the first leaves the client registered.
  int first = -1, second = -1, id = -1, again = -1;
  onThreadAs(kUser, [&] {
    first = connectToServer();
    id = hello(first, 16);
    second = connectToServer();
    again = hello(second, 16);
  });
  ASSERT_GE(id, 0);
  EXPECT_EQ(again, id);  // same process, user and kind: same client
  ASSERT_TRUE(Eventually([&] { return logHas("Client started. sock"); }));
  close(first);
  ASSERT_TRUE(Eventually([&] { return logHas("already removed, nothing to close"); }));
  EXPECT_TRUE(IPC_ClientAlive(id));
  auto msg = message(2, id);
  char* bytes = reinterpret_cast<char*>(msg.get());
  ASSERT_EQ(send_sn(second, bytes, IPC_MESSAGE_SIZE, 0), IPC_MESSAGE_SIZE);
  EXPECT_EQ(recv_sn_within(second, bytes, IPC_MESSAGE_SIZE, 5000), IPC_MESSAGE_SIZE);
  close(second);
  EXPECT_TRUE(Eventually([&] { return !registered(id); }));
}

TEST_F(IpcServer, AOneShotProgramBesideTheOwnerOfTheSameUserKeepsTheTunnel) {
  ClientProcess owner(kUser, {"--kind", "0"});
  int ownerId = owner.registeredId();
  ASSERT_GE(ownerId, 0);
  ASSERT_TRUE(Eventually([&] { return record(ownerId).connectionSock >= 0; }));
  g_TunnelOwnerClientN = ownerId;
  {
    ClientProcess query(kUser, {"--kind", "0", "request", "1"}, false);  // same user, same kind
    int queryId = query.registeredId();
    EXPECT_GE(queryId, 0);
    EXPECT_NE(queryId, ownerId);
    EXPECT_NE(query.expect("reply code=1"), "");
    EXPECT_EQ(query.waitExit(), 0);
    EXPECT_TRUE(Eventually([&] { return !registered(queryId); }));
  }
  EXPECT_EQ(recordedDisconnects(), 0u);
  EXPECT_EQ(g_TunnelOwnerClientN, ownerId);
  EXPECT_TRUE(IPC_ClientAlive(ownerId));
  auto msg = message(50, ownerId);
  EXPECT_EQ(IPC_SendToClient(msg.get(), ownerId), 1);  // the owner keeps its push socket
  EXPECT_NE(owner.expect("push code=50"), "");
  owner.send("request 2");
  EXPECT_NE(owner.expect("reply code=2"), "");
}

TEST_F(IpcServer, ARunDirectoryThatIsNoDirectoryLeavesTheDaemonWithoutIpc) {
  // A second start of the server on a thread with a mount namespace of its
  // own, where the run directory is taken by a plain file.
  bool noSockets = false;
  std::thread other([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return;
    close(open(IPC_RUN_DIR, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    StartConnections();
    noSockets = access(IPC_CLIENT_SERVER_SOCKET, F_OK) != 0;
  });
  other.join();
  EXPECT_TRUE(noSockets);
  EXPECT_TRUE(logHas("Не удалось подготовить каталог IPC: Not a directory"));
  EXPECT_EQ(access(IPC_CLIENT_SERVER_SOCKET, F_OK), 0);  // this thread's server is untouched
}

TEST_F(IpcServer, AClientThatComesBackGetsANewId) {
  int id = -1;
  {
    ClientProcess a(kUser, {"--kind", "17"});
    id = a.registeredId();
    ASSERT_GE(id, 0);
  }
  ASSERT_TRUE(Eventually([&] { return !registered(id); }));
  ClientProcess again(kUser, {"--kind", "17"});
  int newId = again.registeredId();
  EXPECT_GT(newId, id);
}

TEST_F(IpcServer, OneUsersConnectionsAreBoundedAndOtherUsersStillServed) {
  const uid_t flooder = 1002;
  const int extra = 20;
  std::vector<int> flood;
  onThreadAs(flooder, [&] {
    for (int i = 0; i < kIpcConnectionsPerUser + extra; i++) {
      int fd = connectToServer();
      if (fd >= 0) flood.push_back(fd);
    }
  });
  ASSERT_EQ(flood.size(), static_cast<size_t>(kIpcConnectionsPerUser + extra));
  auto hungUpCount = [&] {
    int n = 0;
    for (int fd : flood) n += hungUp(fd);
    return n;
  };
  EXPECT_TRUE(Eventually([&] { return hungUpCount() >= extra; }));
  EXPECT_EQ(hungUpCount(), extra) << "the connections within the bound wait for their hello";
  EXPECT_TRUE(logHas("refused: uid 1002 holds " + std::to_string(kIpcConnectionsPerUser) + " connections"));

  ClientProcess other(kOtherUser, {"--kind", "30"});
  EXPECT_GE(other.registeredId(), 0);

  for (int fd : flood) close(fd);
  int id = -1;
  EXPECT_TRUE(Eventually([&] {  // the closed connections no longer count
    onThreadAs(flooder, [&] {
      int fd = connectToServer();
      id = hello(fd, 31);
      close(fd);
    });
    return id >= 0;
  }));
}

TEST_F(IpcServer, OneUsersRecordsAreBoundedAndDeadPushSocketsAreDropped) {
  const uid_t user = 1003;
  std::vector<int> socks;
  int answered = 0;
  onThreadAs(user, [&] {
    for (int kind = 0; kind < kIpcRecordsPerUser + 4; kind++) {
      int fd = connectToServer(IPC_SERVER_CLIENT_SOCKET);
      socks.push_back(fd);
      answered += hello(fd, static_cast<uint8_t>(kind)) >= 0;
    }
  });
  EXPECT_EQ(answered, kIpcRecordsPerUser);
  EXPECT_EQ(recordsOf("1003"), static_cast<size_t>(kIpcRecordsPerUser));
  for (int fd : socks) close(fd);
  auto msg = message(50, -1);
  EXPECT_EQ(IPC_SendToClient(msg.get(), -1), 1);
  EXPECT_EQ(recordsOf("1003"), 0u) << "records whose push socket is gone are removed";
}

TEST_F(IpcServer, AClientThatNeverReadsItsPushesIsDroppedAndTheOthersGetTheirs) {
  int stuck = -1, stuckId = -1;
  onThreadAs(1004, [&] {
    stuck = connectToServer(IPC_SERVER_CLIENT_SOCKET);
    stuckId = hello(stuck, 0);
  });
  ASSERT_GE(stuckId, 0);
  ClientProcess other(kUser, {"--kind", "32"});
  int otherId = other.registeredId();
  ASSERT_GE(otherId, 0);
  ASSERT_TRUE(Eventually([&] { return record(otherId).serverClientSock >= 0; }));
  push_send_timeout_ms = 300;
  const int pushes = 40;   // far more than the stuck client's socket holds
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread pusher([done] {
    for (int i = 0; i < pushes; i++) {
      auto msg = message(50, -1);
      IPC_SendToClient(msg.get(), -1);
    }
    done->store(true);
  });
  bool finished = Eventually([&] { return done->load(); }, 30000);
  if (finished) pusher.join();
  else pusher.detach();
  push_send_timeout_ms = 2000;
  ASSERT_TRUE(finished) << "pushes held up by a client that reads nothing";
  EXPECT_FALSE(registered(stuckId));
  EXPECT_TRUE(logHas("Client " + std::to_string(stuckId) + " does not take its pushes, dropped"));
  for (int i = 0; i < pushes; i++) ASSERT_NE(other.expect("push code=50"), "") << "push " << i;
  EXPECT_TRUE(IPC_ClientAlive(otherId));
  close(stuck);
}

// Clients of uid that register a push socket each (kinds 0..n-1) and
// never read it; their sockets.
std::vector<int> stalledClients(uid_t uid, int n) {
  std::vector<int> socks;
  onThreadAs(uid, [&] {
    for (int kind = 0; kind < n; kind++) {
      int fd = connectToServer(IPC_SERVER_CLIENT_SOCKET);
      if (hello(fd, static_cast<uint8_t>(kind)) >= 0) socks.push_back(fd);
    }
  });
  return socks;
}

TEST_F(IpcServer, ABroadcastWaitsOnceForAllTheClientsThatTakeNothing) {
  const int stalled = 8;
  std::vector<int> socks = stalledClients(1005, stalled);
  ASSERT_EQ(socks.size(), static_cast<size_t>(stalled));
  push_send_timeout_ms = 1000;
  auto start = std::chrono::steady_clock::now();
  // Enough pushes to fill every socket: each stalled client then takes nothing.
  for (int i = 0; i < 40 && recordsOf("1005") > 0; i++) {
    auto msg = message(50, -1);
    IPC_SendToClient(msg.get(), -1);
  }
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(recordsOf("1005"), 0u);
  // One after the other they would have cost stalled * 1000 ms.
  EXPECT_LT(took.count(), 3000) << "the clients that take nothing were waited for one by one";
  for (int fd : socks) close(fd);
}

// Fills the daemon's end of a push socket until it takes no more; the bytes
// it took.
size_t fillPushSocket(int fd) {
  char chunk[4096] = {};
  size_t n = 0;
  for (ssize_t r; (r = send(fd, chunk, sizeof chunk, MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;) n += static_cast<size_t>(r);
  return n;
}

// A client of uid with a push socket that the daemon's side has filled; its
// id, with its own end in *fd and the filler's byte count in *filled.
int fullPushClient(uid_t uid, int* fd, size_t* filled) {
  std::vector<int> socks = stalledClients(uid, 1);
  if (socks.size() != 1) return -1;
  *fd = socks[0];
  int id = -1;
  Eventually([&] {
    std::lock_guard<std::mutex> lock(mtx_reg_clients);
    for (const auto& [cid, client] : clients_list)
      if (client.user == std::to_string(uid) && client.serverClientSock >= 0) id = cid;
    return id >= 0;
  });
  *filled = id >= 0 ? fillPushSocket(record(id).serverClientSock) : 0;
  return id;
}

TEST_F(IpcServer, APushToASlowButLiveClientIsNotGivenUpEarly) {
  int fd = -1;
  size_t filled = 0;
  int id = fullPushClient(1008, &fd, &filled);
  ASSERT_GE(id, 0);
  ASSERT_GT(filled, 0u);
  push_send_timeout_ms = 3000;
  // The client makes room after 600 ms, well inside the push's time.
  std::vector<char> got(filled + IPC_MESSAGE_SIZE);
  int read = 0;
  std::thread slow([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    read = recv_sn_within(fd, got.data(), static_cast<int>(got.size()), 10000);
  });
  auto msg = message(50, -1);
  EXPECT_EQ(IPC_SendToClient(msg.get(), -1), 1);
  slow.join();
  EXPECT_TRUE(IPC_ClientAlive(id)) << "a client that makes room in time was dropped";
  ASSERT_EQ(read, static_cast<int>(got.size())) << "the push did not arrive whole";
  ServicePipeMessage_t in;
  memcpy(&in, got.data() + filled, sizeof in);
  EXPECT_EQ(in.code, 50u);
  close(fd);
}

TEST_F(IpcServer, AUserWhoseClientTookNoPushesIsBackedOffForAWhile) {
  ipc_back_off_ms = 600;
  push_send_timeout_ms = 200;
  std::vector<int> socks = stalledClients(1006, 1);
  ASSERT_EQ(socks.size(), 1u);
  for (int i = 0; i < 40 && recordsOf("1006") > 0; i++) {
    auto msg = message(50, -1);
    IPC_SendToClient(msg.get(), -1);
  }
  ASSERT_EQ(recordsOf("1006"), 0u);
  int again = 0;
  onThreadAs(1006, [&] {
    int fd = connectToServer();
    again = hello(fd, 1);
    close(fd);
  });
  EXPECT_LT(again, 0) << "a dropped user came straight back";
  EXPECT_TRUE(logHas("refused: uid 1006 backed off"));
  ClientProcess other(kOtherUser, {"--kind", "33"});
  EXPECT_GE(other.registeredId(), 0) << "another user is not backed off";
  EXPECT_TRUE(Eventually([&] {
    onThreadAs(1006, [&] {
      int fd = connectToServer();
      again = hello(fd, 1);
      close(fd);
    });
    return again >= 0;
  })) << "the back-off did not end";
  // A client that is gone (not one that reads nothing) backs nobody off.
  std::vector<int> gone = stalledClients(1007, 1);
  ASSERT_EQ(gone.size(), 1u);
  close(gone[0]);
  auto msg = message(50, -1);
  IPC_SendToClient(msg.get(), -1);
  EXPECT_EQ(recordsOf("1007"), 0u);
  EXPECT_EQ(stalledClients(1007, 1).size(), 1u);
  for (int fd : socks) close(fd);
}

TEST_F(IpcServer, TheStoppingMessageWaitsForThePushLockOnlyItsOwnTime) {
  ClientProcess client(kUser, {"--kind", "34"});
  int id = client.registeredId();
  ASSERT_GE(id, 0);
  ASSERT_TRUE(Eventually([&] { return record(id).serverClientSock >= 0; }));
  auto stopping = message(IPC_MSG_SERVICE_STOPPING, -1);
  {
    std::lock_guard<std::timed_mutex> busy(m_ProcessingSendMessageToClientsAF);  // a push that hangs
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IPC_SendToClientsWithin(stopping.get(), 300), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  }
  EXPECT_FALSE(IPC_ClientAlive(id)) << "the client is marked closed all the same";
  EXPECT_TRUE(logHas("pushes busy, code 45 not sent"));
  EXPECT_EQ(IPC_SendToClientsWithin(stopping.get(), 300), 1);
  EXPECT_NE(client.expect("push code=45"), "");
}

// The stop's pushes come last in this file: once message 45 has begun, no
// other push starts in this process.
TEST_F(IpcServer, TheStoppingMessageHasItsTimeInAllWaitForTheLockIncluded) {
  int fd = -1;
  size_t filled = 0;
  int id = fullPushClient(1009, &fd, &filled);
  ASSERT_GE(id, 0);
  const auto held = std::chrono::milliseconds(2000), total = std::chrono::milliseconds(2500);
  std::atomic<bool> locked{false};
  std::thread busy([&] {  // a push under way that takes a while
    std::lock_guard<std::timed_mutex> push(m_ProcessingSendMessageToClientsAF);
    locked = true;
    std::this_thread::sleep_for(held);
  });
  ASSERT_TRUE(Eventually([&] { return locked.load(); }));
  auto stopping = message(IPC_MSG_SERVICE_STOPPING, -1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(IPC_SendToClientsWithin(stopping.get(), static_cast<int>(total.count())), 1);
  auto took = std::chrono::steady_clock::now() - start;
  busy.join();
  EXPECT_FALSE(registered(id)) << "the client that takes nothing is still there";
  EXPECT_GE(took, total - std::chrono::milliseconds(50)) << "the stopping message gave up before its time";
  EXPECT_LT(took, held + total - std::chrono::milliseconds(800)) << "after the lock it had its full time again";
  close(fd);
}

TEST_F(IpcServer, OnceTheStopBeginsNoPushButTheStoppingMessageStarts) {
  std::vector<int> socks = stalledClients(1010, 1);
  ASSERT_EQ(socks.size(), 1u);
  std::unique_lock<std::timed_mutex> underWay(m_ProcessingSendMessageToClientsAF);
  std::atomic<int> stoppingResult{-1};
  std::atomic<bool> calling{false};
  std::thread stop([&] {
    auto stopping = message(IPC_MSG_SERVICE_STOPPING, -1);
    calling = true;
    stoppingResult = IPC_SendToClientsWithin(stopping.get(), 3000);
  });
  ASSERT_TRUE(Eventually([&] { return calling.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // 45 waits for the lock now
  const int others = 4;
  std::atomic<int> sent{0};
  std::vector<std::thread> broadcasts;
  for (int i = 0; i < others; i++) {
    broadcasts.emplace_back([&] {
      auto msg = message(50, -1);
      sent += IPC_SendToClient(msg.get(), -1);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // and so do they
  underWay.unlock();
  stop.join();
  for (std::thread& t : broadcasts) t.join();
  EXPECT_EQ(stoppingResult.load(), 1);
  EXPECT_EQ(sent.load(), 0) << "broadcasts went out during the stop";
  ServicePipeMessage_t in;
  ASSERT_EQ(recv_sn_within(socks[0], reinterpret_cast<char*>(&in), IPC_MESSAGE_SIZE, 2000),
            static_cast<int>(IPC_MESSAGE_SIZE));
  EXPECT_EQ(in.code, static_cast<uint32_t>(IPC_MSG_SERVICE_STOPPING));
  char more;
  EXPECT_EQ(recv(socks[0], &more, 1, MSG_DONTWAIT), -1) << "something but message 45 was pushed";
  EXPECT_TRUE(logHas("the service is stopping, code 50 not sent"));
  close(socks[0]);
}

TEST_F(IpcServer, StoppedListenersRefuseNewConnections) {
  IPC_StopListening();
  EXPECT_TRUE(Eventually([] {
    int fd = connectToServer();
    if (fd >= 0) close(fd);
    return fd < 0;
  }));
  for (const char* path : {IPC_CLIENT_SERVER_SOCKET, IPC_SERVER_CLIENT_SOCKET, IPC_CONNECTION_SOCKET})
    EXPECT_NE(access(path, F_OK), 0) << path << " is left behind";
}

}  // namespace
