#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cross/utils/socket_io.h"
#include "tests/service/service_env.h"
#include "tests/common/test_dir.h"

namespace {

class SocketPair {
 public:
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
  ~SocketPair() {
    closeEnd(0);
    closeEnd(1);
  }
  int operator[](int i) const { return fds[i]; }
  void closeEnd(int i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }

 private:
  int fds[2] = {-1, -1};
};

std::vector<char> pattern(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<char>(i * 7 + i / 251);
  return v;
}

bool logHas(const std::string& text) { return ServiceLogText().find(text) != std::string::npos; }

size_t pendingBytes(int fd) {
  char buf[64];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

TEST(SocketIo, BadArgumentsMoveNothing) {
  SocketPair p;
  char buf[8] = {};
  EXPECT_EQ(send_sn(p[0], nullptr, 8, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(send_sn(p[0], buf, 0, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(send_sn(p[0], buf, -3, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(send_sn(-1, buf, 8, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(pendingBytes(p[1]), 0u);
  send(p[1], "abc", 3, 0);
  EXPECT_EQ(recv_sn(p[0], nullptr, 3, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(recv_sn(p[0], buf, 0, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(recv_sn(-5, buf, 3, 0), SN_BAD_ARGUMENTS);
  EXPECT_EQ(recv_sn_within(p[0], buf, 0, 100), SN_BAD_ARGUMENTS);
  EXPECT_EQ(pendingBytes(p[0]), 3u);  // still there
}

TEST(SocketIo, AWholeMessageArrivesThroughASmallBufferReadInPieces) {
  SocketPair p;
  int small = 4096;
  setsockopt(p[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::vector<char> out = pattern(IPC_MESSAGE_SIZE), in(IPC_MESSAGE_SIZE);
  std::thread reader([&] {
    size_t got = 0;
    while (got < in.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ssize_t n = recv(p[1], in.data() + got, std::min<size_t>(1000, in.size() - got), 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  });
  EXPECT_EQ(send_sn(p[0], out.data(), IPC_MESSAGE_SIZE, 0), static_cast<int>(IPC_MESSAGE_SIZE));
  reader.join();
  EXPECT_EQ(in, out);
}

void onSignal(int) {}

TEST(SocketIo, SignalsDuringTransfersNeitherLoseNorRepeatBytes) {
  struct sigaction sa {};
  sa.sa_handler = onSignal;  // no SA_RESTART: blocked calls fail with EINTR
  sigaction(SIGUSR1, &sa, nullptr);
  SocketPair p;
  int small = 4096;
  setsockopt(p[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const int kSize = 4 * IPC_MESSAGE_SIZE;
  std::vector<char> out = pattern(kSize), in(kSize);
  std::atomic<bool> done{false};
  int received = 0;
  std::thread reader([&] { received = recv_sn(p[1], in.data(), kSize, 0); });
  pthread_t self = pthread_self(), readerThread = reader.native_handle();
  std::thread pest([&] {
    while (!done) {
      pthread_kill(self, SIGUSR1);
      pthread_kill(readerThread, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int sent = 0;
  for (int off = 0; off < kSize; off += 1024) sent += send_sn(p[0], out.data() + off, 1024, 0);
  reader.join();
  done = true;
  pest.join();
  signal(SIGUSR1, SIG_DFL);
  EXPECT_EQ(sent, kSize);
  EXPECT_EQ(received, kSize);
  EXPECT_EQ(in, out);
}

TEST(SocketIo, PeerClosedGivesMinus3AndResetGivesMinus2) {
  char buf[16];
  {
    SocketPair p;
    send(p[1], "abc", 3, 0);
    p.closeEnd(1);
    EXPECT_EQ(recv_sn(p[0], buf, 16, 0), SN_PEER_CLOSED);  // 3 bytes came, then the end
  }
  {
    SocketPair p;
    send(p[0], "unread", 6, 0);  // the peer goes away with this unread: a reset
    p.closeEnd(1);
    EXPECT_EQ(recv_sn(p[0], buf, 16, 0), SN_PEER_GONE);
  }
}

TEST(SocketIo, WritingToAClosedPeerGivesMinus2WithoutSigpipe) {
  SocketPair p;
  p.closeEnd(1);
  std::vector<char> out = pattern(IPC_MESSAGE_SIZE);
  EXPECT_EQ(send_sn(p[0], out.data(), IPC_MESSAGE_SIZE, 0), SN_PEER_GONE);  // still alive: no SIGPIPE
}

TEST(SocketIo, OtherErrorsGiveMinus42AndAreLogged) {
  TestDir dir;
  int fd = open(dir.file("plain").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  char buf[4] = {};
  EXPECT_EQ(send_sn(fd, buf, 4, 0), SN_OTHER_ERROR);
  EXPECT_EQ(recv_sn(fd, buf, 4, 0), SN_OTHER_ERROR);
  close(fd);
  const std::string notSock = std::to_string(ENOTSOCK);
  EXPECT_TRUE(logHas("; send_sn; p" + std::to_string(getpid()) + "; send_sn => writing socket error: " + notSock + "\r\n"));
  EXPECT_TRUE(logHas("; recv_sn; p" + std::to_string(getpid()) + "; recv_sn => reading socket error: " + notSock + "\r\n"));
}

TEST(SocketIo, AReceiveTimeoutNeverEndsTheWait) {
  SocketPair p;
  timeval tv{0, 50000};
  setsockopt(p[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    send(p[1], "late", 4, 0);
  });
  char buf[4];
  EXPECT_EQ(recv_sn(p[0], buf, 4, 0), 4);
  late.join();
}

TEST(SocketIo, BoundedReceiveGivesUpOnASilentPeer) {
  SocketPair p;
  send(p[1], "ab", 2, 0);
  char buf[4];
  EXPECT_EQ(recv_sn_within(p[0], buf, 4, 200), SN_OTHER_ERROR);
  send(p[1], "cdef", 4, 0);
  EXPECT_EQ(recv_sn_within(p[0], buf, 4, 200), 4);
  p.closeEnd(1);
  EXPECT_EQ(recv_sn_within(p[0], buf, 4, 200), SN_PEER_CLOSED);
}

TEST(SocketIo, BoundedSendGivesUpOnAPeerThatStopsReading) {
  SocketPair p;
  std::vector<char> big = pattern(4 << 20);   // far more than the socket holds
  EXPECT_EQ(send_sn_within(p[0], big.data(), static_cast<int>(big.size()), 200), SN_OTHER_ERROR);
  std::vector<char> drained(1 << 16);
  while (recv(p[1], drained.data(), drained.size(), MSG_DONTWAIT) > 0) {
  }
  EXPECT_EQ(send_sn_within(p[0], big.data(), 1000, 200), 1000);
  p.closeEnd(1);
  EXPECT_EQ(send_sn_within(p[0], big.data(), 1000, 200), SN_PEER_GONE);
}

std::unique_ptr<ServicePipeMessage_t> filled(uint32_t code) {
  auto msg = std::make_unique<ServicePipeMessage_t>();
  memset(msg.get(), 0x11, sizeof *msg);
  msg->code = code;
  return msg;
}

TEST(SocketIo, ProceedWaitsForTheWholeAnswerOnlyForSynchronousCodes) {
  SocketPair p;
  auto push = filled(50);
  EXPECT_EQ(IPC_Proceed(push.get(), p[0]), 1);  // nobody answers: not waited for
  auto copy = filled(0);
  ASSERT_EQ(recv_sn(p[1], reinterpret_cast<char*>(copy.get()), IPC_MESSAGE_SIZE, 0), static_cast<int>(IPC_MESSAGE_SIZE));
  EXPECT_EQ(memcmp(copy.get(), push.get(), IPC_MESSAGE_SIZE), 0);

  for (uint32_t code : {58u, 59u}) {
    auto sign = filled(code);
    std::thread client([&] {
      auto msg = filled(0);
      recv_sn(p[1], reinterpret_cast<char*>(msg.get()), IPC_MESSAGE_SIZE, 0);
      memset(msg->payload, 0x22, IPC_PAYLOAD_SIZE);
      msg->result = 0;
      const char* bytes = reinterpret_cast<const char*>(msg.get());
      send_sn(p[1], bytes, 9000, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      send_sn(p[1], bytes + 9000, IPC_MESSAGE_SIZE - 9000, 0);
    });
    EXPECT_EQ(IPC_Proceed(sign.get(), p[0]), 1);
    client.join();
    EXPECT_EQ(sign->code, code);
    EXPECT_EQ(sign->result, 0u);
    EXPECT_EQ(sign->payload[IPC_PAYLOAD_SIZE - 1], 0x22);
  }
}

TEST(SocketIo, ProceedReportsFailuresWithTheirCodes) {
  {
    SocketPair p;
    p.closeEnd(1);
    auto msg = filled(50);
    EXPECT_EQ(IPC_Proceed(msg.get(), p[0]), PUSH_NOT_SENT);
    EXPECT_TRUE(logHas("; IPC_Proceed; p" + std::to_string(getpid()) + "; IPC_Proceed: send failed, code -2\r\n"));
  }
  {
    SocketPair p;
    auto msg = filled(59);
    std::thread client([&] {
      auto in = filled(0);
      recv_sn(p[1], reinterpret_cast<char*>(in.get()), IPC_MESSAGE_SIZE, 0);
      p.closeEnd(1);
    });
    EXPECT_EQ(IPC_Proceed(msg.get(), p[0]), PUSH_NO_ANSWER);
    client.join();
    EXPECT_TRUE(logHas("IPC_Proceed: recv failed, code -3\r\n"));
  }
}

TEST(SocketIo, ProceedAllSendsToEverySocketAtOnceWithinOneDeadline) {
  SocketPair reading, full1, full2, full3, gone, late;
  std::vector<char> big = pattern(4 << 20);
  for (const SocketPair* p : {&full1, &full2, &full3}) {
    ASSERT_EQ(send_sn_within((*p)[0], big.data(), static_cast<int>(big.size()), 100), SN_OTHER_ERROR);
  }
  size_t lateBacklog = 0;
  for (ssize_t n; (n = send(late[0], big.data(), 65536, MSG_DONTWAIT)) > 0;) lateBacklog += static_cast<size_t>(n);
  gone.closeEnd(1);
  auto msg = filled(50);
  std::thread reader([&] {
    auto in = filled(0);
    recv_sn(reading[1], reinterpret_cast<char*>(in.get()), IPC_MESSAGE_SIZE, 0);
  });
  const auto deadline = std::chrono::milliseconds(2000);
  // A client that takes its backlog and the push after more than half the
  // deadline, within it.
  bool lateGotIt = false;
  std::thread lateReader([&] {
    std::this_thread::sleep_for(deadline * 3 / 5);
    std::vector<char> in(lateBacklog + IPC_MESSAGE_SIZE);
    lateGotIt = recv_sn_within(late[1], in.data(), static_cast<int>(in.size()), 5000) == static_cast<int>(in.size()) &&
                memcmp(in.data() + lateBacklog, msg.get(), IPC_MESSAGE_SIZE) == 0;
  });
  std::vector<int> fds = {full1[0], reading[0], gone[0], full2[0], late[0], full3[0], -1};
  auto start = std::chrono::steady_clock::now();
  std::vector<PushResult> r = IPC_ProceedAll(msg.get(), fds, static_cast<int>(deadline.count()));
  auto took = std::chrono::steady_clock::now() - start;
  reader.join();
  lateReader.join();
  EXPECT_EQ(r, (std::vector<PushResult>{PUSH_NOT_TAKEN, PUSH_DONE, PUSH_NOT_SENT, PUSH_NOT_TAKEN, PUSH_DONE,
                                        PUSH_NOT_TAKEN, PUSH_NOT_SENT}));
  EXPECT_TRUE(lateGotIt) << "the client that took its push late did not get it whole";
  EXPECT_GE(took, deadline - std::chrono::milliseconds(10)) << "the full sockets were given up early";
  // With a deadline of its own each full socket would cost the whole of it.
  EXPECT_LT(took, deadline * 5 / 2) << "each full socket had a deadline of its own";
  EXPECT_TRUE(logHas("IPC_Proceed: send failed, code -42"));
}

}  // namespace
