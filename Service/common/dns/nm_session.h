#pragma once
// One libnm client on a GLib main context of its own, pushed as the calling
// thread's default for the client's lifetime, so that callers on several
// threads never run or quit each other's loops; and bounded waits for the
// asynchronous calls started on it.
#include <NetworkManager.h>

// Bound of one commit or reapply wait.
inline constexpr unsigned kNmCallTimeoutMs = 30000;
// Bound of the wait for libnm to let go of a released client.
inline constexpr unsigned kNmReleaseTimeoutMs = 5000;

class NmSession {
 public:
  // A client, or none (errorText says why) when the bus cannot be reached
  // or NetworkManager is not running on it.
  NmSession();
  // Releases the client on its context and iterates the context until libnm
  // has let go of it (at most kNmReleaseTimeoutMs).
  ~NmSession();
  NmSession(const NmSession&) = delete;
  NmSession& operator=(const NmSession&) = delete;

  NMClient* get() const { return client; }
  const char* errorText() const { return error != nullptr ? error->message : "?"; }
  GMainContext* mainContext() const { return context; }

 private:
  void release();

  GMainContext* context;
  NMClient* client = nullptr;
  GError* error = nullptr;
};

// Runs loop (on context) until its callback quits it; after kNmCallTimeoutMs
// the call is cancelled, so its callback still comes (with a cancelled
// error) and ends the wait.
void runBounded(GMainContext* context, GMainLoop* loop, GCancellable* cancellable);
