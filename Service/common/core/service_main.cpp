#include "Service/common/core/service_main.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Service/Linux/Service/driver_event_listener.h"
#include "Service/common/core/client_commands.h"
#include "Service/common/core/connect_requests.h"
#include "Service/common/dns/suffix_baseline.h"
#include "Service/common/engine/disconnect.h"
#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_hooks.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_queries.h"
#include "Service/common/engine/filter_setup.h"
#include "Service/common/engine/gateway_socket.h"
#include "Service/common/core/instance_lock.h"
#include "Service/common/core/push_routing.h"
#include "Service/common/core/shutdown_watchdog.h"
#include "Service/common/core/status_file.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/ipc_server.h"
#include "cross/utils/log.h"
#include "cross/utils/service_hooks.h"
#include "cross/utils/sleep.h"
#include "cross/utils/socket_io.h"
#include "cross/utils/std_descriptors.h"
#include "cross/utils/version.h"

volatile sig_atomic_t dmn_terminate_requested = 0;
std::atomic<unsigned char> dmn_terminate_called{0};
volatile sig_atomic_t dmn_sigpipe_count = 0;
unsigned dmn_watchdog_ms = 9000;

namespace {

// Every line of this module carries this source name.
const char kSource[] = "Service/common/Service";
#define logAs(function, text) GetLog().WriteToLogFL(kSource, __LINE__, function, std::string(text).c_str())
#define logLine(text) logAs("ServiceMainFunction", text)

const unsigned kFilterPollMs = 1111;
const unsigned kMainTickMs = 100;
const unsigned kNudgeDelaysMs[3] = {10000, 20000, 40000};
// The shutdown's message 45 waits for the push lock as long as one push
// may hold it (push_send_timeout_ms), and may take this long more (ms).
const int kStoppingPushMs = 500;
// How long the shutdown waits for a connect attempt to end (ms).
const unsigned kAttemptWaitMs = 3000;
const unsigned kLockPollMs = 10;

int dmn_sigpipe_logged = 0;

void syslogLine(const char* text, const char* function) { syslog(LOG_INFO, "%s (%s())", text, function); }

// <installDir>/log/SrvLog.csv, cut to fit: a directory of 2047 characters
// or more gets nothing appended. The log directory is made (or given) mode
// 01777.
std::string logFilePath() {
  char buffer[2048];
  snprintf(buffer, sizeof buffer, "%s", installDir);
  if (strlen(buffer) < sizeof buffer - 1) {
    strncat(buffer, "/log", sizeof buffer - strlen(buffer) - 1);
    MakeSharedLogDirectory(buffer);
    if (strlen(buffer) < sizeof buffer - 1) strncat(buffer, "/SrvLog.csv", sizeof buffer - strlen(buffer) - 1);
  }
  return buffer;
}

void sendToTunnelOwner(ServicePipeMessage_t* msg, int client) { IPC_SendToTunnelOwner(msg, client); }
void sendToClients(ServicePipeMessage_t* msg) { IPC_SendToClients(msg); }
int engineAccessLevel(uint8_t* level, int* flag) { return getAccessLevel(level, flag); }

}  // namespace

void InstallServiceHandlers() {
  ServiceHandlers ipc{};
  ipc.answerClientMessage = core::AnswerClientMessage;
  ipc.answerClientConnectRequest = core::AnswerClientConnectRequest;
  ipc.restoreSuffixesAfterUnmanagedDisconnect = suffix_baseline::RestoreSuffixesAfterUnmanagedDisconnect;
  IPC_SetServiceHandlers(ipc);
  Engine_InstallDisconnectHandler();  // after: a null member above means the standing one
  EngineHooks hooks{};
  hooks.resetConnectionStatus = ResetConnectionStatus;
  hooks.statusJsonGeneration = StatusJsonGeneration;
  hooks.resetConnectionStatusIfStale = ResetConnectionStatusIfStale;
  hooks.postDisconnectSettings = suffix_baseline::PostDisconnectSettings;
  hooks.sendToTunnelOwner = sendToTunnelOwner;
  hooks.sendToClients = sendToClients;
  Engine_SetHooks(hooks);
  Engine_InstallDnsRegistratorHooks();
  SetComplianceNudge(engineAccessLevel, kNudgeDelaysMs);
  suffix_baseline::SetBaselineHooks({getDnsSuffixes, WriteStatusJson, ArmComplianceNudge});
}

namespace {

// False when a termination signal came first.
bool waitForFilter() {
  for (bool told = false;; told = true) {
    if (dmn_terminate_requested != 0) return false;
    logLine("Calculating drvinfo structure");
    if (getFilterInfo()) return true;
    logLine("Can't connect to driver! Waiting...");
    if (!told) fputs("solvarind: waiting for the network filter (zornfhost or the kernel module)\n", stderr);
    Sleep(kFilterPollMs);
  }
}

// Registers the event listener with the filter; false ends start-up.
bool startEventListener() {
  int32_t pid = DriverEventCreate();
  if (pid < 0) logLine("Startup of driver event process failed!");
  if (!SetServicePID(static_cast<uint32_t>(pid))) {
    logLine("Setting driver event process pid to driver failed!");
    return false;
  }
  return pid >= 0;
}

// Takes lock within ms; false (not locked) when it stayed busy.
bool lockWithin(std::mutex& lock, unsigned ms) {
  for (unsigned waited = 0; !lock.try_lock(); waited += kLockPollMs) {
    if (waited >= ms) return false;
    Sleep(kLockPollMs);
  }
  return true;
}

// Runs once; the watchdog bounds the whole of it, and no step waits for a
// client: new connections are refused from the start, a connect attempt is
// told to stop and waits for no answer, message 45 has a deadline of its own.
[[noreturn]] void terminate() {
  dmn_terminate_called.exchange(1);
  StartShutdownWatchdog(dmn_watchdog_ms);
  logAs("dmn_terminate", "Terminate signal was caught!");
  RecordInstancePhase(INSTANCE_STOPPING);
  IPC_StopListening();
  interrupt_connection = true;
  IPC_CancelPushAnswers();
  setFilterRulesWithoutConnect0();
  DriverEventDestroy();
  auto stopping = std::make_unique<ServicePipeMessage_t>();
  memset(stopping.get(), 0, sizeof *stopping);
  stopping->code = IPC_MSG_SERVICE_STOPPING;
  stopping->clientN = -1;
  stopping->result = 1;
  IPC_SendToClientsWithin(stopping.get(), push_send_timeout_ms + kStoppingPushMs);
  ServiceMainFunctionEND();
  _exit(0);
}

}  // namespace

void dmn_terminate_signal(int) { dmn_terminate_requested = 1; }
void dmn_sigpipe(int) { dmn_sigpipe_count = dmn_sigpipe_count + 1; }

void InstallTerminationHandlers() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = dmn_terminate_signal;
  sigset_t handled;
  sigemptyset(&handled);
  for (int sig : {SIGTERM, SIGQUIT, SIGINT}) {
    sigaction(sig, &sa, nullptr);
    sigaddset(&handled, sig);
  }
  sa.sa_handler = dmn_sigpipe;
  sigaction(SIGPIPE, &sa, nullptr);
  sigaddset(&handled, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

int ServiceMainFunction() {
  umask(0);
  GetSystemVersion();
  if (GetInfoFromRegistry(0) == 0) syslogLine("Can't read registry!", "ServiceMainFunction");
  memcpy(settingsDir, installDir, sizeof settingsDir);
  std::string logPath = logFilePath();
  GetLog().LogEnable(1);
  if (GetLog().CreateLogFile(logPath.c_str()) != 1) syslogLine("Daemon can't create log file!", "ServiceMainFunction");
  logLine("Solvarind executed");
  logLine(verstr);
  logLine("Getting info from registry");
  GetInfoFromRegistry(1);
  logLine("Initializing sockets system...");
  if (initSocket() != 0) {
    logLine("Initialization of sockets system failed!");
    return 0;
  }
  logLine("Connecting to driver...");
  if (mknod(nm_drvdevname, S_IFCHR | 0666, makedev(666, 0)) != 0) logLine("!!! mknod ERROR !!!");
  logLine("Daemon was started with pid: " + std::to_string(getpid()));
  InstallServiceHandlers();
  setFilterParams();
  if (!waitForFilter()) terminate();
  logLine("Driver found");
  if (!startEventListener()) {
    ServiceMainFunctionEND();
    return 0;
  }
  setFilterRulesWithoutConnect0();
  disConnect("Daemon startup initial filter cleanup", 0, __FILE__, __LINE__);
  suffix_baseline::RestoreSuffixBaselineAtStartup();
  StartConnections();
  RecordInstancePhase(INSTANCE_SERVING);
  for (;;) {
    Sleep(kMainTickMs);
    int pipes = dmn_sigpipe_count;
    if (pipes != dmn_sigpipe_logged) {
      dmn_sigpipe_logged = pipes;
      logLine("SIGPIPE signal was caught!");
    }
    if (dmn_terminate_requested != 0 && dmn_terminate_called == 0) terminate();
  }
}

void ServiceMainFunctionEND() {
  logAs("ServiceMainFunctionEND", "ServiceMainFunctionEND");
  StopComplianceNudge();
  SetServicePID(0);
  DriverEventDestroy();
  logAs("ServiceMainFunctionEND", "Driver event thread closed");
  std::unique_lock<std::mutex> attempt(mtx_connecting_started, std::defer_lock);
  if (lockWithin(mtx_connecting_started, kAttemptWaitMs)) {
    attempt = std::unique_lock<std::mutex>(mtx_connecting_started, std::adopt_lock);
  } else {
    logAs("ServiceMainFunctionEND", "Connect attempt still running, shutdown goes on");
  }
  const char reason[] = "Daemon shutdown cleanup";
  disConnect(reason, 0, __FILE__, __LINE__);
  suffix_baseline::RestoreSuffixesAfterUnmanagedDisconnect(reason);
  closeZorVPNDevice();
  logAs("ServiceMainFunctionEND", "Driver device closed");
  logAs("ServiceMainFunctionEND", "Solvarind closed");
}

int SolvarindMain(int argc, char** argv) {
  InstallTerminationHandlers();
  if (argc > 1 && strcmp(argv[1], "run_as_process") == 0) {
    ReadExecutionDir(argc, argv);
    MakeVersionString();
    ServiceMainFunction();
    return 0;
  }
  pid_t child = fork();
  if (child < 0) {
    syslogLine("Can't create daemon process (child)!", "main");
    char text[256];
    snprintf(text, sizeof text, "Daemon process creation error: %s", strerror(errno));
    syslogLine(text, "main");
    return 1;
  }
  if (child > 0) {
    syslogLine("OK! Main Process successfully shutdown.", "main");
    exit(0);
  }
  RecordInstancePid();
  umask(0);
  if (setsid() < 0) {
    syslogLine("Can't generate unique daemon process index (sid)!", "main");
    return 1;
  }
  ReadExecutionDir(argc, argv);
  if (chdir("/") < 0) {
    syslogLine("Daemon can't go to root directory!", "main");
    return 1;
  }
  close(0);
  close(1);
  close(2);
  // Descriptors 0-2 stay taken (by /dev/null), so no socket or file the
  // daemon opens later is taken for standard output.
  ReopenStandardDescriptorsOnDevNull();
  MakeVersionString();
  ServiceMainFunction();
  return 0;
}
