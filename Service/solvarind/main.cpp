// solvarind: the service daemon.
//
//   solvarind                   detach and run as a daemon
//   solvarind run_as_process    run in the foreground
//   solvarind --help | --version
//
// Any other argument is refused with the usage (exit status 2). A second
// daemon beside a running one is refused (exit status 1): both would take
// the same sockets and the same channel to the filter.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Service/common/core/instance_lock.h"
#include "Service/common/core/service_main.h"
#include "cross/utils/version.h"

namespace {

const char kUsage[] =
    "usage: solvarind                  run as a daemon (detaches from the terminal)\n"
    "       solvarind run_as_process   run in the foreground (under a service manager, or by hand)\n"
    "       solvarind --help           this text\n"
    "       solvarind --version        the version\n"
    "\n"
    "The service daemon of the Solvarin VPN client. Client programs (solvarin-cli,\n"
    "user ids of 1000 and more) reach it on the sockets in " IPC_RUN_DIR ";\n"
    "it drives the connection with the gateway through the network filter\n"
    "(zornfhost, or the kernel module), and waits for the filter when it is not\n"
    "there yet. Its registry, log (log/SrvLog.csv) and status.json are kept in\n"
    "the directory of its executable. SIGTERM, SIGQUIT or SIGINT stop it: the\n"
    "clients are told, the tunnel is taken down.\n"
    "\n"
    "One solvarind runs at a time: the running one holds " SOLVARIND_LOCK_PATH ".\n"
    "Exit status: 0 stopped in order (or detached), 1 another solvarind is running\n"
    "or detaching failed, 2 bad arguments.\n";

// A running daemon refuses this one; a lock that cannot be taken at all (no
// run directory to write in) lets it start as before.
bool takeInstanceLock() {
  pid_t holder = 0;
  switch (TakeInstanceLock(IPC_RUN_DIR, &holder)) {
    case INSTANCE_LOCK_TAKEN:
      return true;
    case INSTANCE_LOCK_HELD:
      if (holder > 0) fprintf(stderr, "solvarind: another solvarind is running (pid %d); stop it first\n", holder);
      else fprintf(stderr, "solvarind: another solvarind is running (it holds %s); stop it first\n", SOLVARIND_LOCK_PATH);
      return false;
    case INSTANCE_LOCK_FAILED:
      fprintf(stderr, "solvarind: cannot take the lock %s: %s; starting without it\n", SOLVARIND_LOCK_PATH,
              strerror(errno));
      return true;
  }
  return true;
}

// The first argument this program does not take, or null.
const char* unknownArgument(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "run_as_process") != 0) return argv[1];
  return argc > 2 ? argv[2] : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("solvarind %s\n", getVrStr());
    return 0;
  }
  if (const char* unknown = unknownArgument(argc, argv)) {
    fprintf(stderr, "solvarind: unknown argument '%s'\n%s", unknown, kUsage);
    return 2;
  }
  if (!takeInstanceLock()) return 1;
  return SolvarindMain(argc, argv);
}
