#pragma once
// Who started the connect attempt in progress, and whether that client's IPC
// connection was lost since. The attempt names its client when it starts and
// ends it when it returns; the IPC server marks the initiator lost; the
// attempt's wait loops test the mark and give up.
#include <mutex>

namespace zorvik::connect_initiator {

class Tracker {
 public:
  // A new attempt by client: names it and clears the lost mark.
  void begin(int client);
  // The attempt of client has returned: resets both if client is still named.
  void end(int client);
  // Marks the initiator lost when client (>= 0) is the one named; true then.
  bool markLostIfInitiator(int client);
  // True once the named initiator's connection was lost.
  bool initiatorLost();
  // The client named, -1 when no attempt runs.
  int initiator();

 private:
  std::mutex mtx;  // guards the two fields only; no other lock is taken under it
  int client = -1;
  bool lost = false;
};

// The process-wide tracker.
Tracker& tracker();

}  // namespace zorvik::connect_initiator
