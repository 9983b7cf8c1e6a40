// The uplink ring's bookkeeping against a stand-in for the kernel, without a
// namespace: the linker hands PacketRing's setsockopt and mmap to the test,
// so the ring's memory is an anonymous mapping that the test fills as the
// kernel fills its slots, and the socket of frames larger than a slot is one
// end of a datagram socket pair. Frames come once and in order; large frames
// beyond the room wait for the next Take and are never read past its end;
// frames left out keep the large frames after them right; a Take goes round
// the ring at most once, and slots given back come round again.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/packet_ring.h"
#include "offload/vnet_header.h"

namespace {

int ring_fd = -1;        // the socket PacketRing was opened on
tpacket_req ring_req{};  // the ring it asked for
uint8_t *ring_map = nullptr;

}  // namespace

extern "C" {
int __real_setsockopt(int fd, int level, int name, const void *value, socklen_t len);
void *__real_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset);

// The ring's socket options are taken as a packet socket takes them.
int __wrap_setsockopt(int fd, int level, int name, const void *value, socklen_t len) {
  if (fd != ring_fd || level != SOL_PACKET) return __real_setsockopt(fd, level, name, value, len);
  if (name == PACKET_RX_RING) std::memcpy(&ring_req, value, sizeof ring_req);
  return 0;
}

// The ring's memory: zeroed, every slot the kernel's.
void *__wrap_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset) {
  if (fd < 0 || fd != ring_fd) return __real_mmap(addr, len, prot, flags, fd, offset);
  if (len != size_t{ring_req.tp_frame_size} * ring_req.tp_frame_nr) return MAP_FAILED;
  void *map = __real_mmap(nullptr, len, prot, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ring_map = map == MAP_FAILED ? nullptr : static_cast<uint8_t *>(map);
  return map;
}
}

namespace {

using zornfhost::LargeFrameRoom;
using zornfhost::PacketRing;
using zornfhost::RingFrame;
using zor::offload::VnetHeader;
using Bytes = std::vector<uint8_t>;

// How the kernel saw a frame: received for this host, sent by this host
// (left out), or cut short without a copy (left out).
enum Kind { kHost, kOutgoing, kCut };

struct Frame {
  size_t len;
  Kind kind = kHost;
};

// The frames the kernel receives, then the frames the next Take gives (by
// their index among all received so far).
struct Round {
  std::vector<Frame> arrive;
  std::vector<size_t> take;
};

struct Case {
  const char *name;
  std::vector<Round> rounds;
  size_t max = 256, rooms = 4, room_size = sizeof(VnetHeader) + 66 * 1024;
};

// The frame's offset in its slot, behind the virtio-net header, and the
// ring's slots (packet_ring.h).
constexpr uint32_t kMacAt = 80;
constexpr size_t kSlots = 4096;

std::vector<size_t> Range(size_t from, size_t to) {
  std::vector<size_t> v;
  for (size_t i = from; i < to; i++) v.push_back(i);
  return v;
}

std::vector<Frame> Many(size_t n, size_t len) { return std::vector<Frame>(n, Frame{len}); }

// The n-th frame: a virtio-net header, then len bytes marked with n.
Bytes Wire(size_t n, size_t len) {
  Bytes f(sizeof(VnetHeader) + len);
  for (size_t i = sizeof(VnetHeader); i < f.size(); i++) f[i] = static_cast<uint8_t>(n * 7 + i);
  std::memcpy(&f[sizeof(VnetHeader)], &n, sizeof n);
  return f;
}

// A ring opened on one end of a socket pair, and the kernel's side of it.
class FakeKernel {
 public:
  FakeKernel() {
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sock) != 0) return;
    ring_fd = sock[0];
    ring = std::make_unique<PacketRing>();
    opened = ring->Open(sock[0]) && ring_map;
  }
  ~FakeKernel() {
    ring.reset();
    ring_fd = -1;
    ring_map = nullptr;
    close(sock[0]);
    close(sock[1]);
  }
  FakeKernel(const FakeKernel &) = delete;
  FakeKernel &operator=(const FakeKernel &) = delete;

  // The kernel writes the frame into its next slot (a larger one goes whole
  // to the socket, its slot marked "copy"); false when the ring has not
  // given that slot back.
  bool Arrive(const Frame &f) {
    const size_t slots = ring_req.tp_frame_nr, slot_size = ring_req.tp_frame_size;
    uint8_t *slot = ring_map + next_slot % slots * slot_size;
    auto *h = reinterpret_cast<tpacket2_hdr *>(slot);
    if (__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) != TP_STATUS_KERNEL) return false;
    const Bytes wire = Wire(sent.size(), f.len);
    const size_t room = slot_size - kMacAt;
    const bool copy = f.len > room;
    h->tp_len = static_cast<uint32_t>(f.len);
    h->tp_snaplen = static_cast<uint32_t>(f.kind == kCut ? f.len / 2 : std::min(f.len, room));
    h->tp_mac = kMacAt;
    auto *from = reinterpret_cast<sockaddr_ll *>(slot + TPACKET_ALIGN(sizeof(tpacket2_hdr)));
    from->sll_pkttype = f.kind == kOutgoing ? PACKET_OUTGOING : PACKET_HOST;
    std::memcpy(slot + kMacAt - sizeof(VnetHeader), wire.data(), sizeof(VnetHeader) + h->tp_snaplen);
    if (copy && send(sock[1], wire.data(), wire.size(), MSG_DONTWAIT) != static_cast<ssize_t>(wire.size()))
      return false;
    __atomic_store_n(&h->tp_status, TP_STATUS_USER | (copy ? TP_STATUS_COPY : 0), __ATOMIC_RELEASE);
    sent.push_back(wire);
    next_slot++;
    return true;
  }

  // One Take and its Release: the frames it gave, each by its index among
  // those received (-1: not a frame as it came). The room for large frames
  // has a guard of one room behind it.
  std::vector<long> TakeOnce(const Case &c) {
    Bytes room((c.rooms + 1) * c.room_size, 0xA5);
    std::vector<RingFrame> out(c.max);
    const size_t n = ring->Take(out.data(), c.max, LargeFrameRoom{room.data(), c.room_size, c.rooms});
    EXPECT_TRUE(std::all_of(room.end() - c.room_size, room.end(), [](uint8_t b) { return b == 0xA5; }))
        << "a large frame was read past the room";
    std::vector<long> got;
    for (size_t k = 0; k < n; k++) {
      const Bytes f(out[k].bytes, out[k].bytes + out[k].len);
      size_t i = sent.size();
      if (f.size() >= sizeof(VnetHeader) + sizeof i) std::memcpy(&i, &f[sizeof(VnetHeader)], sizeof i);
      got.push_back(i < sent.size() && sent[i] == f ? static_cast<long>(i) : -1);
    }
    ring->Release();
    return got;
  }

  bool opened = false;

 private:
  std::vector<Bytes> sent;  // every frame received, in order
  int sock[2] = {-1, -1};
  std::unique_ptr<PacketRing> ring;
  size_t next_slot = 0;
};

std::vector<Case> Cases() {
  const size_t k9 = 9000;
  return {
      {"frames that fit a slot come in order", {{{{60}, {1500}, {1968}, {64}}, {0, 1, 2, 3}}}},
      {"one larger than a slot is read beside it", {{{{100}, {1969}, {65000}, {100}}, {0, 1, 2, 3}}}},
      {"large frames beyond the room wait for the next Take",
       {{{{100}, {k9}, {k9}, {k9}, {100}, {20000}}, {0, 1}}, {{}, {2}}, {{}, {3, 4}}, {{}, {5}}},
       256, 1},
      {"a large frame its room cannot hold is left out, the next still right",
       {{{{100}, {k9}, {3000}, {100}, {4000}}, {0, 2, 3, 4}}}, 256, 4, sizeof(VnetHeader) + 4096},
      {"this host's own frames and frames cut short are left out",
       {{{{100, kOutgoing}, {200}, {300, kCut}, {k9, kOutgoing}, {5000}, {60}}, {1, 4, 5}}}},
      {"a Take gives at most its count", {{Many(5, 100), {0, 1}}, {{}, {2, 3}}, {{}, {4}}}, 2},
      {"a ring of filled slots is taken once round, not again",
       {{Many(kSlots, 60), Range(0, kSlots)}}, 5000},
      {"every slot given back comes round again",
       {{Many(kSlots - 100, 200), Range(0, kSlots - 100)},
        {Many(kSlots, 200), Range(kSlots - 100, 2 * kSlots - 100)}},
       5000},
  };
}

TEST(RingSlots, EveryCaseGivesItsFramesOnceAndInOrder) {
  for (const Case &c : Cases()) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel;
    ASSERT_TRUE(kernel.opened);
    for (size_t r = 0; r < c.rounds.size(); r++) {
      SCOPED_TRACE("round " + std::to_string(r));
      for (const Frame &f : c.rounds[r].arrive) ASSERT_TRUE(kernel.Arrive(f)) << "a slot not given back";
      const std::vector<long> want(c.rounds[r].take.begin(), c.rounds[r].take.end());
      EXPECT_EQ(kernel.TakeOnce(c), want);
    }
  }
}

}  // namespace
