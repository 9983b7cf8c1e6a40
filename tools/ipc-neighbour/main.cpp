// ipc-neighbour: a local client program of the daemon for tests and the
// benchmark, in two roles.
//
//   ipc-neighbour stall RECORDS COMMAND SECONDS [return]
//     a neighbour that reads none of its pushes: registers RECORDS clients
//     (kinds 1..RECORDS) with only a push socket, whose receive buffer is
//     1 KiB and which it never reads, and one client (kind 0) with only a
//     request socket that sends COMMAND in a loop for SECONDS seconds (one
//     every 10 ms at most, so that the other clients' logs stay small). With
//     "return" it registers every dropped client again as soon as the daemon
//     lets it.
//   ipc-neighbour probe KIND SECONDS
//     a client of kind KIND that asks for the state (command 1) every 100 ms
//     for SECONDS seconds and reads its pushes meanwhile.
//
// Output of stall, one line each: "stalled N" once registered; "dropped N"
// when the daemon has closed all N push sockets; "back again: accepted" or
// "back again: refused" for the first registration tried right after that;
// "commands N slowest MS" at the end. Output of probe: "registered",
// then at the end "status N slowest MS median MS" and
// "pushes N longest-gap MS" (the longest time without a push, its start
// included).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cross/utils/ipc_message.h"
#include "cross/utils/socket_io.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kStalledReceiveBuffer = 1024;
const int kAnswerWaitMs = 120000;
const int kProbeEveryMs = 100;
const int kCommandEveryMs = 10;

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// One registered connection to the socket at path with a hello of kind;
// -1 when the daemon refused or hung up. receiveBuffer > 0 shrinks the
// socket's receive buffer first.
int registerOn(const char* path, unsigned char kind, int receiveBuffer = 0) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, strlen(path));
  char hello[IPC_HELLO_SIZE] = {static_cast<char>(kind)};
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      send_sn(fd, hello, IPC_HELLO_SIZE, 0) != static_cast<int>(IPC_HELLO_SIZE) ||
      recv_sn_within(fd, hello, IPC_HELLO_SIZE, 5000) != static_cast<int>(IPC_HELLO_SIZE)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once the daemon has closed its end of fd (without reading what waits).
bool closedByDaemon(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Sends one command on fd and waits for its reply: its time in ms, -1 when
// the daemon is gone.
long long timedCommand(int fd, uint32_t code) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  memset(msg.get(), 0, sizeof *msg);
  msg->code = code;
  char* bytes = reinterpret_cast<char*>(msg.get());
  Clock::time_point start = Clock::now();
  if (send_sn(fd, bytes, IPC_MESSAGE_SIZE, 0) != static_cast<int>(IPC_MESSAGE_SIZE)) return -1;
  if (recv_sn_within(fd, bytes, IPC_MESSAGE_SIZE, kAnswerWaitMs) != static_cast<int>(IPC_MESSAGE_SIZE)) return -1;
  return msSince(start);
}

// The stalled push sockets, by kind; -1 for one the daemon dropped.
struct StalledRecords {
  std::vector<int> fds;
  bool returning = false;
  bool reported = false;

  void registerAll() {
    for (size_t i = 0; i < fds.size(); i++) {
      fds[i] = registerOn(IPC_SERVER_CLIENT_SOCKET, static_cast<unsigned char>(i + 1), kStalledReceiveBuffer);
    }
  }
  // Closes what the daemon dropped; tells once when all were dropped and
  // whether one came straight back; registers them again when returning.
  void tend() {
    size_t dropped = 0;
    for (int& fd : fds) {
      if (fd >= 0 && closedByDaemon(fd)) {
        close(fd);
        fd = -1;
      }
      dropped += fd < 0;
    }
    if (!reported && dropped == fds.size()) {
      reported = true;
      std::printf("dropped %zu\n", dropped);
      fds[0] = registerOn(IPC_SERVER_CLIENT_SOCKET, 1, kStalledReceiveBuffer);
      std::printf("back again: %s\n", fds[0] >= 0 ? "accepted" : "refused");
      std::fflush(stdout);
    }
    if (!returning || !reported) return;
    for (size_t i = 0; i < fds.size(); i++) {
      if (fds[i] < 0) fds[i] = registerOn(IPC_SERVER_CLIENT_SOCKET, static_cast<unsigned char>(i + 1), kStalledReceiveBuffer);
    }
  }
};

int stall(int records, uint32_t command, int seconds, bool returning) {
  StalledRecords stalled{std::vector<int>(static_cast<size_t>(records), -1), returning};
  stalled.registerAll();
  int requester = registerOn(IPC_CLIENT_SERVER_SOCKET, 0);
  if (requester < 0 || std::count(stalled.fds.begin(), stalled.fds.end(), -1) != 0) {
    std::printf("error: registration refused\n");
    return 1;
  }
  std::printf("stalled %d\n", records);
  std::fflush(stdout);
  std::atomic<bool> done{false};
  std::thread tender([&] {
    while (!done) {
      stalled.tend();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  Clock::time_point start = Clock::now();
  long long slowest = 0, count = 0;
  while (msSince(start) < seconds * 1000LL) {
    long long ms = timedCommand(requester, command);
    if (ms < 0) break;
    slowest = std::max(slowest, ms);
    count++;
    std::this_thread::sleep_for(std::chrono::milliseconds(kCommandEveryMs));
  }
  done = true;
  tender.join();
  std::printf("commands %lld slowest %lld\n", count, slowest);
  return 0;
}

// Reads the pushes of fd until stop: their count and the longest gap.
void readPushes(int fd, const std::atomic<bool>& stop, long long* count, long long* longestGap) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  Clock::time_point last = Clock::now();
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    if (recv_sn(fd, reinterpret_cast<char*>(msg.get()), IPC_MESSAGE_SIZE, 0) != static_cast<int>(IPC_MESSAGE_SIZE)) break;
    *longestGap = std::max(*longestGap, msSince(last));
    last = Clock::now();
    ++*count;
  }
  *longestGap = std::max(*longestGap, msSince(last));
}

int probe(unsigned char kind, int seconds) {
  int request = registerOn(IPC_CLIENT_SERVER_SOCKET, kind);
  int push = registerOn(IPC_SERVER_CLIENT_SOCKET, kind);
  if (request < 0 || push < 0) {
    std::printf("error: registration refused\n");
    return 1;
  }
  std::printf("registered\n");
  std::fflush(stdout);
  std::atomic<bool> stop{false};
  long long pushes = 0, gap = 0;
  std::thread reader(readPushes, push, std::cref(stop), &pushes, &gap);
  std::vector<long long> times;
  Clock::time_point start = Clock::now();
  while (msSince(start) < seconds * 1000LL) {
    long long ms = timedCommand(request, 1);
    if (ms < 0) break;
    times.push_back(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(kProbeEveryMs));
  }
  stop = true;
  reader.join();
  std::sort(times.begin(), times.end());
  long long slowest = times.empty() ? -1 : times.back(), median = times.empty() ? -1 : times[times.size() / 2];
  std::printf("status %zu slowest %lld median %lld\n", times.size(), slowest, median);
  std::printf("pushes %lld longest-gap %lld\n", pushes, gap);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string role = argc > 1 ? argv[1] : "";
  if (role == "stall" && (argc == 5 || argc == 6)) {
    return stall(std::atoi(argv[2]), static_cast<uint32_t>(std::atoi(argv[3])), std::atoi(argv[4]),
                 argc == 6 && std::string(argv[5]) == "return");
  }
  if (role == "probe" && argc == 4) return probe(static_cast<unsigned char>(std::atoi(argv[2])), std::atoi(argv[3]));
  std::fprintf(stderr, "usage: ipc-neighbour stall RECORDS COMMAND SECONDS [return] | probe KIND SECONDS\n");
  return 2;
}
