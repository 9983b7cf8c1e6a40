#pragma once
// The client side of the daemon's IPC: the three registered connections and
// the transfer of whole messages on them.
#include <string>

#include "cross/utils/ipc_message.h"

struct ClientConnection {
  int requestSock = -1;     // client-server: requests and their replies
  int pushSock = -1;        // server-client: the daemon's pushes
  int connectionSock = -1;  // connect and disconnect requests
  int id = -1;              // the client id the daemon assigned
};

// Connects to the three sockets in order and registers each with a hello of
// the given kind. False with a reason in *error when a socket refused.
bool RegisterClient(ClientConnection* conn, unsigned char kind, std::string* error);

// Sends msg on fd and reads the reply over it; false when the daemon is gone.
bool Exchange(int fd, ServicePipeMessage_t* msg);

// One line describing a message: its five fields and the start of its
// payload as text.
std::string DescribeMessage(const ServicePipeMessage_t& msg);
