#include "cross/utils/connect_initiator.h"

namespace zorvik::connect_initiator {

void Tracker::begin(int who) {
  std::lock_guard<std::mutex> lock(mtx);
  client = who;
  lost = false;
}

void Tracker::end(int who) {
  std::lock_guard<std::mutex> lock(mtx);
  if (client != who) return;
  client = -1;
  lost = false;
}

bool Tracker::markLostIfInitiator(int who) {
  std::lock_guard<std::mutex> lock(mtx);
  if (who < 0 || client != who) return false;
  lost = true;
  return true;
}

bool Tracker::initiatorLost() {
  std::lock_guard<std::mutex> lock(mtx);
  return lost;
}

int Tracker::initiator() {
  std::lock_guard<std::mutex> lock(mtx);
  return client;
}

// Never destroyed: a connect attempt may still run while the process exits.
Tracker& tracker() {
  static Tracker* instance = new Tracker();
  return *instance;
}

}  // namespace zorvik::connect_initiator
