#pragma once
// One solvarind at a time. The first daemon holds an exclusive flock on
// SOLVARIND_LOCK_PATH, beside the IPC sockets it would otherwise share with
// a second one, and keeps its process id and its phase in the file, one
// line: "PID PHASE" (PHASE one of the words below), so that a client that
// finds no socket to talk to can tell a daemon that has not started serving
// from one that is stopping. The lock goes with the process that holds it: a
// daemon that was killed leaves only the file, which the next one takes
// over.
#include <sys/types.h>

#include "cross/utils/ipc_message.h"

#define SOLVARIND_LOCK_PATH IPC_RUN_DIR "/solvarind.lock"

enum InstancePhase {
  INSTANCE_STARTING,   // "starting": waits for its filter, no sockets yet
  INSTANCE_SERVING,    // "serving": its IPC sockets take clients
  INSTANCE_STOPPING,   // "stopping": its termination runs, no new client
};
// The word of a phase in the lock file.
inline const char* InstancePhaseWord(InstancePhase phase) {
  return phase == INSTANCE_SERVING ? "serving" : phase == INSTANCE_STOPPING ? "stopping" : "starting";
}

enum InstanceLockResult {
  INSTANCE_LOCK_TAKEN,    // this process holds the lock now
  INSTANCE_LOCK_HELD,     // another solvarind holds it
  INSTANCE_LOCK_FAILED,   // the file cannot be made or locked (errno)
};

// Takes the lock (creating the run directory, mode 0755, when missing) and
// writes this process's id into the file, phase "starting". On INSTANCE_LOCK_HELD *holder is
// the id the holder wrote (0 when unreadable).
InstanceLockResult TakeInstanceLock(pid_t* holder);
// Writes this process's id into the lock file it holds (after detaching,
// the daemon runs under a new id). Nothing when the lock is not held.
void RecordInstancePid();
// Writes the phase the daemon has reached (with its id) into the lock file
// it holds. Nothing when the lock is not held.
void RecordInstancePhase(InstancePhase phase);
