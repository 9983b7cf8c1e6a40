#include "host/packet_ring.h"

#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include "offload/vnet_header.h"

namespace zornfhost {
namespace {

using zor::offload::VnetHeader;

constexpr unsigned kSlotSize = 2048;
constexpr unsigned kBlockSize = 64 * 1024;
constexpr unsigned kSlots = 4096;
constexpr size_t kRingBytes = size_t{kSlots} * kSlotSize;
static_assert(kBlockSize % kSlotSize == 0 && kSlots % (kBlockSize / kSlotSize) == 0,
              "the ring is whole blocks of whole slots");

tpacket2_hdr *header_of(uint8_t *slot) { return reinterpret_cast<tpacket2_hdr *>(slot); }

const sockaddr_ll *address_of(uint8_t *slot) {
  return reinterpret_cast<const sockaddr_ll *>(slot + TPACKET_ALIGN(sizeof(tpacket2_hdr)));
}

}  // namespace

PacketRing::~PacketRing() {
  if (map_) munmap(map_, kRingBytes);
}

bool PacketRing::Open(int fd) {
  int version = TPACKET_V2, one = 1;
  tpacket_req req{kBlockSize, kSlots / (kBlockSize / kSlotSize), kSlotSize, kSlots};
  if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
      setsockopt(fd, SOL_PACKET, PACKET_COPY_THRESH, &one, sizeof one) != 0 ||
      setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0)
    return false;
  void *map = mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return false;
  fd_ = fd;
  map_ = static_cast<uint8_t *>(map);
  return true;
}

uint8_t *PacketRing::Slot(size_t index) const { return map_ + index % kSlots * kSlotSize; }

size_t PacketRing::Take(RingFrame *out, size_t max, const LargeFrameRoom &room) {
  size_t count = 0, large = 0;
  while (count < max && taken_ < kSlots) {
    uint8_t *slot = Slot(next_ + taken_);
    const uint32_t status = __atomic_load_n(&header_of(slot)->tp_status, __ATOMIC_ACQUIRE);
    if (!(status & TP_STATUS_USER)) break;
    if ((status & TP_STATUS_COPY) && large == room.count) break;  // read in the next Take
    taken_++;
    if (Frame(slot, status, room, &large, &out[count])) count++;
  }
  return count;
}

// A slot marked "copy" has its frame queued whole on the socket, in the
// order of the slots: it is read even when the frame is left out, so that
// the next such slot reads its own.
bool PacketRing::Frame(uint8_t *slot, uint32_t status, const LargeFrameRoom &room,
                       size_t *large, RingFrame *out) {
  const bool sent_here = address_of(slot)->sll_pkttype == PACKET_OUTGOING;
  if (status & TP_STATUS_COPY) {
    uint8_t *into = room.bytes + *large * room.size;
    ssize_t n = recv(fd_, into, room.size, MSG_DONTWAIT | MSG_TRUNC);
    if (n <= 0 || static_cast<size_t>(n) > room.size || sent_here) return false;
    (*large)++;
    *out = {into, static_cast<size_t>(n)};
    return true;
  }
  const tpacket2_hdr *h = header_of(slot);
  const bool whole = h->tp_snaplen == h->tp_len && h->tp_mac >= sizeof(VnetHeader) &&
                     size_t{h->tp_mac} + h->tp_snaplen <= kSlotSize;
  if (!whole || sent_here) return false;
  *out = {slot + h->tp_mac - sizeof(VnetHeader), h->tp_snaplen + sizeof(VnetHeader)};
  return true;
}

void PacketRing::Release() {
  for (; taken_; taken_--, next_ = (next_ + 1) % kSlots)
    __atomic_store_n(&header_of(Slot(next_))->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

}  // namespace zornfhost
