#include "Service/common/engine/filter_watch.h"

#include <chrono>
#include <mutex>
#include <string>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/event_dispatcher.h"
#include "Service/common/engine/filter_setup.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"

unsigned FilterWatch_PeriodMs = 2000;

namespace {

using Clock = std::chrono::steady_clock;

const char kGoneReason[] = "Filter gone";
const unsigned kGonePeriods = 5;

// Touched by the poller thread only.
Clock::time_point g_lastProbe = Clock::now();
bool g_gone = false;          // the last probe had no answer
bool g_idleUnderTunnel = false;  // the last probe found the filter idle under a tunnel

void logLine(int line, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, "FilterWatch", text.c_str());
}

// The tunnel is gone without a disconnect of the daemon's: it makes one.
void tunnelGone(const std::string& why) {
  logLine(__LINE__, why);
  disConnect(kGoneReason, 0, __FILE__, __LINE__);
  filterState = CS_NOINIT;  // also when the request found no filter
  RestoreSuffixesAfterUnmanagedDisconnect(kGoneReason);
  AnnounceOwnDisconnect();
}

void probe(uint32_t listenerPort) {
  DrvReply reply;
  int32_t r = DRV_Request(RQC_GETINFO, nullptr, 0, 0, reply);
  if (r == DRV_CHANNEL_FAILED) {
    if (!g_gone && (filterState != CS_NOINIT || g_TunnelOwnerClientN >= 0)) {
      tunnelGone("The filter does not answer: the tunnel is gone");
    }
    g_gone = true;
    return;
  }
  if (g_gone) logLine(__LINE__, "The filter answers again");
  g_gone = false;
  if (listenerPort != 0) SetServicePID(listenerPort);
  bool idleUnderTunnel = filterState == CS_CONNECT && reply.header.state == CS_NOINIT;
  if (idleUnderTunnel && g_idleUnderTunnel) tunnelGone("The filter holds no tunnel any more");
  g_idleUnderTunnel = idleUnderTunnel && !g_idleUnderTunnel;
}

}  // namespace

void FilterWatch_Reset() {
  g_lastProbe = Clock::now();
  g_gone = g_idleUnderTunnel = false;
}

void FilterWatch_Tick(uint32_t listenerPort) {
  // A filter that is gone is asked less often: each probe logs its failure.
  unsigned period = g_gone ? kGonePeriods * FilterWatch_PeriodMs : FilterWatch_PeriodMs;
  if (FilterWatch_PeriodMs == 0 || Clock::now() - g_lastProbe < std::chrono::milliseconds(period)) return;
  std::unique_lock<std::mutex> attempt(mtx_connecting_started, std::try_to_lock);
  if (!attempt.owns_lock()) return;  // a connect attempt drives the state now
  g_lastProbe = Clock::now();
  probe(listenerPort);
}
