// One attempt as a whole: where it resumes from the filter's state, the
// stages in their order, and its cancellation. The stages themselves are in
// the stage_*.cpp files.
#include "Service/common/core/connection_stages.h"

#include <cstring>
#include <mutex>

#include "Service/common/core/connect_attempt.h"
#include "Service/common/dns/suffix_baseline.h"
#include "Service/common/engine/adapter_binding.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_setup.h"
#include "cross/utils/connect_initiator.h"
#include "cross/utils/ipc_server.h"

using namespace connect_attempt;

namespace {

bool radiusCredentialsSet() { return radius_login[0] != 0 && radius_password[0] != 0; }

// The stages after CS_NOINIT, in the order they are tried: after a stage
// only those behind it are candidates for the filter's new state.
struct StageEntry {
  uint32_t state;
  Stage run;
};
const StageEntry kStages[] = {
    {CS_APP_SYNRQ, appSynRq}, {CS_PCONNECTING, pConnecting}, {CS_WAIT_SYNRR, waitSynRr}, {CS_APP_SYNOK, appSynOk},
    {CS_WAIT_SYNOKF, waitSynOkf}, {CS_APP_KEYS, appKeys}, {CS_CONNECT, connected},
};
const int kStageCount = sizeof kStages / sizeof kStages[0];

int nextStage(int after) {
  for (int i = after + 1; i < kStageCount; i++) {
    if (kStages[i].state == filterState) return i;
  }
  return -1;
}

void resetFilter() {
  const char reason[] = "Driver state stale or filter state must be reset";
  DISCONNECT(reason);
  suffix_baseline::RestoreSuffixesAfterUnmanagedDisconnect(reason);
  filterState = CS_NOINIT;
}

// The filter's stages were made from these connect data: another profile,
// profile type or gateway must not go on with their SYN request and keys.
bool sameAttempt() { return memcmp(&connect_data, &attempt_connect_data, sizeof connect_data) == 0; }

// The stage to resume at from the filter's state; -1 for CS_NOINIT.
int firstStage() {
  switch (filterState) {
    case CS_NOINIT: return -1;
    case CS_APP_SYNRQ:
    case CS_WAIT_SYNRR:
    case CS_WAIT_SYNOKF:
      if (!radiusCredentialsSet() && sameAttempt()) {
        if (auth_type_ext == AUTH_TYPE_RADIUS_JSON) loadRadiusJson();
        return nextStage(-1);
      }
      break;
  }
  resetFilter();
  return -1;
}

// Drops what the last attempt knew when the certificate or the extended
// authentication type changed.
void checkIdentity() {
  bool certChanged = memcmp(connect_data.certId, g_LastUsingCertUQ, sizeof g_LastUsingCertUQ) != 0;
  bool authChanged = connect_data.authTypeExt != auth_type_ext;
  if (!certChanged && !authChanged) return;
  if (filterState != CS_NOINIT) {
    DISCONNECT("Certificate or authentication type changed");
    filterState = CS_NOINIT;
  }
  memcpy(g_LastUsingCertUQ, connect_data.certId, sizeof g_LastUsingCertUQ);
  memset(radius_login, 0, sizeof radius_login);
  memset(radius_password, 0, sizeof radius_password);
  if (authChanged) {
    auth_type_ext = connect_data.authTypeExt;
    setAuthTypeExt(auth_type_ext);
  }
}

bool runStages(Attempt& a) {
  if (connect_data.gatewayIp == 0) {
    if (filterState != CS_NOINIT) {
      DISCONNECT("Profile has no VESK address");
      filterState = CS_NOINIT;
    }
    return a.fail(CONNECT_INIT_FAILED, CONNECT_ERR_NO_GATEWAY);
  }
  checkAdapter(connect_data.gatewayIp);
  logLine("VESK IP: " + dotted(connect_data.gatewayIp));
  checkIdentity();
  SetStatusToRegistry(0);
  int stage = firstStage();
  attempt_connect_data = connect_data;
  if (stage < 0) {
    if (!noInit(a)) return false;
    stage = nextStage(-1);
  }
  for (;;) {
    if (stage < 0) return a.fail(CONNECT_CANCELLED, CONNECT_ERR_NO_STAGE);
    if (!kStages[stage].run(a)) return false;
    if (kStages[stage].state == CS_CONNECT) return true;
    stage = nextStage(stage);
  }
}

// Ends the attempt on every path, also when an exception leaves it.
struct AttemptScope {
  int client;
  std::unique_lock<std::mutex> lock{mtx_connecting_started};
  explicit AttemptScope(int c) : client(c) {
    zorvik::connect_initiator::tracker().begin(client);
    connect_attempt_running = true;
  }
  ~AttemptScope() {
    connect_attempt_running = false;
    zorvik::connect_initiator::tracker().end(client);
  }
};

}  // namespace

int32_t ConnectToVesk(int client, int32_t* error, int32_t alternative, const ProfileConnectData*,
                      const std::atomic<bool>*, unsigned long* extra) {
  if (extra != nullptr) *extra = 0;
  interrupt_connection.exchange(false);
  AttemptScope scope(client);
  if (!IPC_ClientAlive(client)) {
    logLine("Client #" + num(client) + " IPC already lost - connect attettempt cancelled");
    zorvik::connect_initiator::tracker().markLostIfInitiator(client);
  }
  int32_t ignored = 0;
  Attempt a{client, error != nullptr ? error : &ignored, alternative};
  g_current_trycounter = 0;
  runStages(a);
  if (*a.error == CONNECT_ERR_PUSH_TIMEOUT) DISCONNECT("Push authentication timed out while waiting for SYNOKF");
  if (*a.error == CONNECT_ERR_CANCELLED && a.cancelReason != nullptr) DISCONNECT(a.cancelReason);
  filterStatePrev = filterState;
  return a.result;
}

bool is_interupt_connecton(int32_t& result, int32_t& error) {
  if (zorvik::connect_initiator::tracker().initiatorLost()) {
    result = CONNECT_CANCELLED;
    error = CONNECT_ERR_CANCELLED;
    logLine("Connecting interrupted: initiator client IPC lost");
    return true;
  }
  bool expected = true;
  if (interrupt_connection.compare_exchange_strong(expected, false)) {
    result = CONNECT_CANCELLED;
    error = CONNECT_ERR_CANCELLED;
    logLine("Connecting interrupted by client");
    return true;
  }
  return false;
}
