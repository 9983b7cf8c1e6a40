#pragma once
// The client IPC server: three AF_UNIX stream sockets under IPC_RUN_DIR, one
// accept thread each, the peer check (uid 999 or less is refused) with the
// per-user bounds of ipc_user_bounds.h, the registration hello, the client
// map that pairs the three connections of one client process, one reader
// thread per request and connection socket, and the pushes from the daemon to
// the clients, sent within push_send_timeout_ms (to every client at once when
// a push goes to all); a client that takes none in that time is dropped and
// its user backed off (ipc_user_bounds.h).
//
// Descriptor ownership: a reader thread alone closes its own socket when it
// ends; everybody else only shuts it down, so no thread ever reads from or
// writes to a descriptor number that was closed and handed out again. The
// push sockets (no reader) are closed under the push lock. Every accepted
// descriptor is closed through IPC_CloseUserConnection, so its user's count
// goes down with it.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <sys/types.h>

#include "cross/utils/ipc_message.h"

enum SocketType {
  SOCKET_CLIENT_SERVER = 0,  // the client's requests, answered by a reader thread
  SOCKET_SERVER_CLIENT = 1,  // pushes from the daemon, no reader thread
  SOCKET_CONNECTION = 2,     // connect and disconnect requests, answered by a reader thread
};
// "client-server", "server-client", "connection"; "unknown" for other values.
const char* SocketTypeName(int type);

using ClosedFlag = std::shared_ptr<std::atomic<bool>>;

struct IPC_Client {
  std::string user;  // login name of the peer's uid, or the uid in decimal
  int id = -1;
  int clientServerSock = -1;
  int serverClientSock = -1;
  int connectionSock = -1;
  ClosedFlag closed;  // shared with the client's reader threads
  uint8_t kind = 0;   // byte 0 of the hello; 0 = window client
  pid_t pid = 0;      // the client process whose connections the record gathers
};

// Registered clients by id, guarded by mtx_reg_clients. Never destroyed:
// detached reader threads may still look at it while the process exits.
extern std::map<int, IPC_Client>& clients_list;
extern std::mutex mtx_reg_clients;
// Serialises pushes: taken before mtx_reg_clients.
extern std::timed_mutex m_ProcessingSendMessageToClientsAF;
// Next client id; ids start at 0 and are never reused.
extern std::atomic<int> next_client_id;
// When set, the accept loops close their listening sockets and end.
extern std::atomic<bool> ready_to_close_sockets;
// Receive time-out of every accepted socket, in seconds.
extern int read_timeout;
// How long a new connection may take to send its hello, in milliseconds; a
// silent peer is dropped.
extern std::atomic<int> hello_timeout_ms;

// Creates the run directory and the three listening sockets and starts
// their accept threads. Called once at start-up, after umask(0).
void StartConnections();
// Sets ready_to_close_sockets, shuts the listening sockets down and removes
// their files: from then on every new connection is refused, and the accept
// threads close them.
void IPC_StopListening();
// Body of one accept thread.
void StartAccepting(int listenFd, SocketType type);
// Body of one registration thread: reads the hello of an accepted connection
// whose peer (uid, pid) passed the checks and registers it in the record of
// its user, kind and process (type 1), or hands it to a reader thread (types
// 0 and 2); closes it when that fails.
void RegisterConnection(int fd, SocketType type, uid_t uid, pid_t pid);
// Body of one reader thread (types 0 and 2).
void ClientCycle(int fd, ClosedFlag closed, SocketType type, int id);
// Pushes msg to client id (id >= 0), or to every client but the one named in
// msg->clientN (id < 0; code 45 also marks them closed). Codes 58 and 59 wait
// for the answer, which overwrites msg. 1 on success, 0 when the one target
// is unknown, the push failed or the stop's message 45 has begun (nothing
// but 45 is sent from then on; logged). A client that takes nothing within
// push_send_timeout_ms is dropped (its user backed off); a push to every
// client waits that long once, for all of them together.
int IPC_SendToClient(ServicePipeMessage_t* msg, int id);
// The shutdown's message 45 (msg) to every client within totalMs in all, the
// wait for the push lock included: 1, or 0 when the lock did not come free in
// time (nothing sent; the clients are still marked closed). From this call
// on no other push starts, so 45 waits only for the one already under way.
int IPC_SendToClientsWithin(ServicePipeMessage_t* msg, int totalMs);
// True when id is registered and not marked closed; the caller holds mtx_reg_clients.
bool IPC_ClientAliveLocked(int id);
bool IPC_ClientAlive(int id);
// Drops a client that failed a synchronous push: marks it closed and shuts
// its request connection down, so its reader thread ends and unregisters it.
void IPC_DropClient(int id);
// Unregisters the client whose client-server socket is fd (nothing for type 2).
void CloseConnection(int fd, SocketType type);
