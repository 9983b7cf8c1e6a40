#pragma once
// Per-user bounds of the IPC server, so that one local user cannot take the
// daemon's descriptors, threads or client records from the others. A
// connection counts against its peer's uid from the credential check until
// its descriptor is closed.
#include <sys/types.h>

#include <atomic>

// Live connections one uid may hold: three per client program, with room to
// spare for programs that reconnect while their old connections go.
constexpr int kIpcConnectionsPerUser = 96;
// Client records (one per hello kind) one user may hold.
constexpr int kIpcRecordsPerUser = 32;

// Counts fd against uid; false (nothing counted) when uid holds the bound.
bool IPC_TakeUserConnection(uid_t uid, int fd);
// Ends fd's count, if it has one. Called before fd is closed.
void IPC_ReleaseUserConnection(int fd);
// close(fd) after IPC_ReleaseUserConnection(fd); nothing for fd < 0.
void IPC_CloseUserConnection(int fd);

// How long a user whose client was dropped for not taking its pushes may
// not connect at all, in milliseconds: a program that reads nothing cannot
// come straight back and cost every push its deadline again.
extern std::atomic<int> ipc_back_off_ms;
// Starts the back-off of the uid that fd counts against (nothing when fd
// has no count). Called before fd is closed.
void IPC_BackOffUserOf(int fd);
// True while uid is backed off.
bool IPC_UserBackedOff(uid_t uid);
