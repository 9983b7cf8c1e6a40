#include "tools/solvarin-cli/signal_watch.h"

#include <signal.h>

#include <thread>

#include "tools/solvarin-cli/output.h"

namespace {

sigset_t g_stopSignals;

void sendInterrupt(ClientSession* session) {
  Say(session->Ask(30) ? "connecting: interrupted, cancelling the attempt" : "error: the daemon closed the connection");
}

void watch(ClientSession* session, std::function<void()> onStop) {
  for (;;) {
    int sig = 0;
    if (sigwait(&g_stopSignals, &sig) != 0) continue;
    if (session->Connecting()) sendInterrupt(session);
    else onStop();
  }
}

}  // namespace

void BlockStopSignals() {
  sigemptyset(&g_stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&g_stopSignals, s);
  pthread_sigmask(SIG_BLOCK, &g_stopSignals, nullptr);
}

const sigset_t& StopSignals() { return g_stopSignals; }

void WatchStopSignals(ClientSession* session, std::function<void()> onStop) {
  std::thread(watch, session, std::move(onStop)).detach();
}
