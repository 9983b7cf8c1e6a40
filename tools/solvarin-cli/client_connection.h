#pragma once
// The client side of the daemon's IPC: the three registered connections and
// the transfer of whole messages on them.
#include <sys/types.h>

#include <string>

#include "cross/utils/ipc_message.h"

struct ClientConnection {
  int requestSock = -1;     // client-server: requests and their replies
  int pushSock = -1;        // server-client: the daemon's pushes
  int connectionSock = -1;  // connect and disconnect requests
  int id = -1;              // the client id the daemon assigned
};

// Connects to the three sockets in order and registers each with a hello of
// the given kind. kExitOk, or the exit status with the reason in *error in
// words: no daemon (no socket, nobody listening, a daemon still waiting for
// the network filter, one that has ended or does not answer: kExitNoDaemon)
// or a refused registration (a user id below 1000, the daemon's bounds:
// kExitRefused).
int RegisterClient(ClientConnection* conn, unsigned char kind, std::string* error);

// Sends msg on fd and reads the reply over it within timeoutMs (0: no
// bound); false when the daemon is gone or did not answer.
bool Exchange(int fd, ServicePipeMessage_t* msg, int timeoutMs);

// One line describing a message: its five fields and the start of its
// payload as text.
std::string DescribeMessage(const ServicePipeMessage_t& msg);
