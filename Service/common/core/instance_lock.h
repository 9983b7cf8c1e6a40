#pragma once
// One solvarind at a time. The first daemon holds an exclusive flock on its
// lock file, beside the IPC sockets it would otherwise share with a second
// one. The lock file is root's, mode 0600, in a directory only root may
// write in: no other user can open it, so nobody else can hold it when a
// daemon stops. The lock goes with the process that holds it: after a stop,
// a crash or a kill -9 the next daemon takes it over.
// What clients read is in a file of its own that every user may read, one
// line "PID PHASE" (PHASE one of the words below): a client that finds no
// socket to talk to can tell a daemon that has not started serving from one
// that is stopping. Nothing locks that file, so a lock on it holds up nothing.
#include <sys/types.h>

#include <string>

#include "cross/utils/ipc_message.h"

#define SOLVARIND_LOCK_NAME "solvarind-instance.lock"
#define SOLVARIND_PHASE_NAME "solvarind.phase"
#define SOLVARIND_LOCK_PATH IPC_RUN_DIR "/" SOLVARIND_LOCK_NAME
#define SOLVARIND_PHASE_PATH IPC_RUN_DIR "/" SOLVARIND_PHASE_NAME

enum InstancePhase {
  INSTANCE_STARTING,   // "starting": waits for its filter, no sockets yet
  INSTANCE_SERVING,    // "serving": its IPC sockets take clients
  INSTANCE_STOPPING,   // "stopping": its termination runs, no new client
};
// The word of a phase in the phase file.
inline const char* InstancePhaseWord(InstancePhase phase) {
  return phase == INSTANCE_SERVING ? "serving" : phase == INSTANCE_STOPPING ? "stopping" : "starting";
}

enum InstanceLockResult {
  INSTANCE_LOCK_TAKEN,    // this process holds the lock now
  INSTANCE_LOCK_HELD,     // another solvarind holds it
  INSTANCE_LOCK_FAILED,   // the file cannot be made or locked (errno)
};

// Takes the lock SOLVARIND_LOCK_NAME in dir (the daemon's is IPC_RUN_DIR;
// made, mode 0755, when missing) without waiting, and writes this process's
// id with the phase "starting" into SOLVARIND_PHASE_NAME there. On
// INSTANCE_LOCK_HELD *holder is the id the holder wrote (0 when unreadable).
InstanceLockResult TakeInstanceLock(const std::string& dir, pid_t* holder);
// Writes this process's id into the phase file of the lock it holds (after
// detaching, the daemon runs under a new id). Nothing when it holds none.
void RecordInstancePid();
// Writes the phase the daemon has reached (with its id) into the phase
// file of the lock it holds. Nothing when it holds none.
void RecordInstancePhase(InstancePhase phase);
