// The driver event listener against a scripted endpoint: doorbells
// counted and drained, one confirmation and one fetched code per tick,
// and a missing event family ending the listener.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Service/Linux/Service/driver_event_listener.h"
#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/genl_device.h"
#include "kernel/include/drv_requests.h"
#include "tests/engine/engine_fixture.h"

namespace enginetest {
namespace {

template <typename F>
bool waitFor(F done, int ms) {
  for (int i = 0; i < ms / 10 && !done(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

class ListenerTest : public EngineTest {
 protected:
  void TearDown() override {
    DriverEventDestroy();
    DriverEvent_PollMs = 333;
    EngineTest::TearDown();
  }
  void doorbell(uint32_t port) {
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
    Bytes m(20, 0);
    Put32(m, 0, 20);
    Put16(m, 4, kPeerEventFamily);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = port;
    sendto(s, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(s);
  }
};

// Doorbells rung together usually land in one tick; on a loaded machine they
// may straddle two. Each tick that saw any (its log line) confirms once and
// fetches one code, however many it saw.
TEST_F(ListenerTest, DoorbellsOfOneTickGiveOneConfirmationAndOneCode) {
  Bytes code(8, 0);
  Put32(code, 4, 0);
  filter.areas[IOCTL_GETCODE] = code;
  filter.areas[IOCTL_CONFIRM] = Bytes(4, 0);
  DriverEvent_PollMs = 400;
  const std::string tickLine = "; ZorVpnEvent\r\n";
  const size_t logAt = LogText().size();  // the log of this test only
  const int ticksBefore = countOf(LogText(), tickLine);
  int32_t port = DriverEventCreate();
  ASSERT_EQ(static_cast<uint32_t>(port), EVENT_PORT_BASE | static_cast<uint32_t>(getpid()));
  ASSERT_TRUE(waitFor([&] { return driverevent_child_started.load() && peer.lookups() > 0; }, 2000));
  const int doorbells = 3;
  for (int i = 0; i < doorbells; i++) doorbell(static_cast<uint32_t>(port));
  ASSERT_TRUE(waitFor([&] { return peer.requests(IOCTL_GETCODE) > 0; }, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(900));  // two more ticks
  // A tick logs before it confirms: the counts are read once they agree.
  int ticks = 0;
  EXPECT_TRUE(waitFor(
      [&] {
        ticks = countOf(LogText(), tickLine) - ticksBefore;
        return peer.requests(IOCTL_CONFIRM) == ticks && peer.requests(IOCTL_GETCODE) == ticks;
      },
      3000))
      << ticks << " ticks, " << peer.requests(IOCTL_CONFIRM) << " confirmations, "
      << peer.requests(IOCTL_GETCODE) << " codes fetched";
  EXPECT_GE(ticks, 1);
  EXPECT_LE(ticks, doorbells);
  EXPECT_EQ(driversocketSIG_handler_dataavailable.load(), 0u);
  EXPECT_EQ(countOf(LogText().substr(logAt), "Daemon driver event process was started with pid: " + std::to_string(port)),
            1);
  DriverEventDestroy();
  EXPECT_EQ(driverevent_pid.load(), 0);
}

TEST_F(ListenerTest, MissingEventFamilyEndsTheListener) {
  FilterSeam_Force({NETLINK_USERSOCK, 0x7BFFFFF0});  // nobody there
  DriverEvent_PollMs = 50;
  const size_t logAt = LogText().size();  // the log of this test only
  ASSERT_GT(DriverEventCreate(), 0);
  ASSERT_TRUE(waitFor([] { return driverevent_child_failed.load(); }, 3000));
  EXPECT_EQ(driverevent_pid.load(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(countOf(LogText().substr(logAt), "ZorNFFilter event creation failed!"), 1);
  DriverEventDestroy();
  EXPECT_EQ(driverevent_pid.load(), 0);
}

// The stand-alone device helpers against the same endpoint.
TEST_F(ListenerTest, DeviceControlCallChecksAndCutsItsReply) {
  utl_drv_ipc_device* dev = utl_drv_ipc_device_open("/tmp/SolvrnVpn");
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->familyId, kPeerRequestFamily);
  peer.set_script([](const Request& req) { return ReplyWith(req, Bytes(40, 0x61)); });
  uint8_t in[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  uint8_t out[16] = {};
  uint32_t size = 0;
  int before = peer.total_requests();
  EXPECT_EQ(utl_drv_ipc_device_iocontrol(dev, in, sizeof in, out, &size), 1);
  EXPECT_EQ(peer.total_requests(), before) << "nothing is sent without room for the reply";
  size = sizeof out;
  EXPECT_EQ(utl_drv_ipc_device_iocontrol(dev, in, sizeof in, out, &size), 0);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(out[15], 0x61);
  int timedOut = 0;
  EXPECT_EQ(utl_drv_ipc_event_wait(dev, 60, &timedOut), 0);
  EXPECT_EQ(timedOut, 1);
  EXPECT_EQ(utl_drv_ipc_device_close(dev), 0);
  EXPECT_EQ(utl_drv_ipc_device_close(nullptr), 1);
}

}  // namespace
}  // namespace enginetest
