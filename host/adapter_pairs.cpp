#include "host/adapter_pairs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/ethernet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "host/completions.h"
#include "host/device_loss.h"
#include "host/host_log.h"
#include "host/link_monitor.h"
#include "host/stack_batch.h"
#include "host/uplink_arp.h"
#include "kern_host.h"
#include "offload/checksum.h"

namespace zornfhost {
namespace {

using zor::offload::complete_partial_checksum;
using zor::offload::FrameBytes;
using zor::offload::kVnetNeedsCsum;
using zor::offload::restore_partial_checksum;
using zor::offload::VnetHeader;

constexpr size_t kVnetLen = sizeof(VnetHeader);
// Room for the largest frame the TAP hands over, behind its header.
constexpr size_t kFrameRoom = 256 * 1024;
// Frames (and bytes) the TAP's reader takes in one round.
constexpr size_t kReadRound = 256;
constexpr size_t kReadRoom = 1 << 20;
// Frames of the uplink handed to the filter together.
constexpr size_t kUplinkBatch = 256;
// Room for one frame from the uplink larger than a ring slot: the filter
// takes frames up to 64 KiB. A batch takes up to kLargeFrames of them.
constexpr size_t kUplinkRoom = kVnetLen + 66 * 1024;
constexpr size_t kLargeFrames = 32;
// Frames sent to the network per system call.
constexpr size_t kSendBatch = 64;

std::vector<std::unique_ptr<AdapterPair>> pairs;

}  // namespace

// The TAP's ring, where the stack's frames wait for zornfhost's reader (it
// drops what does not fit, whoever sent it): deep enough for some
// milliseconds of a flood while the reader is not scheduled. Where it may
// not be set (a user namespace of its own), the ring keeps its length.
constexpr int kTapRingFrames = 4096;

void set_ring_length(const ifreq &tap) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, tap.ifr_name, sizeof ifr.ifr_name);
  ifr.ifr_qlen = kTapRingFrames;
  ioctl(sock, SIOCSIFTXQLEN, &ifr);
  close(sock);
}

int open_tap(const std::string &name) {
  // Non-blocking: the stack's reader takes what the TAP holds until it has
  // no more (TAP writes never wait either way).
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  ifreq ifr{};
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
  std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  int hdr = static_cast<int>(kVnetLen);
  // Not USO: the stack would hand the reader UDP runs, which the filter
  // cannot take whole; the UDP runs the writer writes need none.
  unsigned offloads = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6 | TUN_F_TSO_ECN;
  if (ioctl(fd, TUNSETIFF, &ifr) != 0 || ioctl(fd, TUNSETVNETHDRSZ, &hdr) != 0 ||
      ioctl(fd, TUNSETOFFLOAD, offloads) != 0) {
    close(fd);
    return -1;
  }
  set_ring_length(ifr);
  return fd;
}

namespace {

// The socket takes no frames before its bind, by which time its receive
// ring is set up: a frame queued before would be taken for the whole copy
// of a large frame in the ring.
int open_packet_socket(const std::string &uplink, PacketRing &ring) {
  int ifindex = static_cast<int>(if_nametoindex(uplink.c_str()));
  if (ifindex == 0) return -1;
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1, size = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = ifindex;
  packet_mreq promisc{};
  promisc.mr_ifindex = ifindex;
  promisc.mr_type = PACKET_MR_PROMISC;
  if (setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one) != 0 ||
      setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0 ||
      setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promisc, sizeof promisc) != 0 ||
      !ring.Open(fd) || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool open_pair(AdapterPair &pair) {
  pair.tap_fd = open_tap(pair.spec.tap);
  if (pair.tap_fd < 0) {
    host_log("zornfhost: TAP %s: %s", pair.spec.tap.c_str(), strerror(errno));
    return false;
  }
  pair.packet_fd = open_packet_socket(pair.spec.uplink, pair.ring);
  if (pair.packet_fd < 0) {
    host_log("zornfhost: uplink %s: %s", pair.spec.uplink.c_str(), strerror(errno));
    return false;
  }
  pair.tap_ifindex = static_cast<int>(if_nametoindex(pair.spec.tap.c_str()));
  pair.uplink_ifindex = static_cast<int>(if_nametoindex(pair.spec.uplink.c_str()));
  pair.saved_arp_ignore = silence_uplink_arp(pair.spec.uplink);
  pair.stack_address.Read(pair.spec.uplink.c_str(), pair.spec.tap.c_str());
  pair.stop_fd = eventfd(0, EFD_CLOEXEC);
  return pair.stop_fd >= 0;
}

void close_pair(AdapterPair &pair) {
  restore_uplink_arp(pair.spec.uplink, pair.saved_arp_ignore);
  for (int *fd : {&pair.tap_fd, &pair.packet_fd, &pair.stop_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

// How long a reader waits for the filter to wake it before it reads again.
constexpr std::chrono::milliseconds kFlowWaitBound{20};

// Waits for `fd` to be readable; false once the pair is told to stop.
bool wait_fd(AdapterPair &pair, int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {pair.stop_fd, POLLIN, 0}};
  while (poll(fds, 2, -1) < 0)
    if (errno != EINTR) return false;
  return !fds[1].revents;
}

// Sends the messages to the packet socket without waiting, in calls of many;
// written[k] tells whether msgs[k] went out (one that fails is lost, the
// rest still go).
void send_messages(int fd, mmsghdr *msgs, size_t n, bool *written) {
  for (size_t k = 0; k < n; k++) written[k] = false;
  for (size_t sent = 0; sent < n;) {
    int r = sendmmsg(fd, msgs + sent, static_cast<unsigned>(n - sent), MSG_DONTWAIT);
    if (r <= 0) {
      sent++;
      continue;
    }
    for (int k = 0; k < r; k++) written[sent + k] = true;
    sent += static_cast<size_t>(r);
  }
}

// Sends frames of the filter's own to the network; false for each frame
// that could not be sent. The packet socket is not waited on (the caller may
// be the timer or a request): the frames go out behind empty virtio-net
// headers, kSendBatch a call.
void send_to_network(const AdapterPair &pair, HostNetbuf *const *nbs, size_t count,
                     bool *written) {
  static const VnetHeader none{};
  for (size_t first = 0; first < count; first += kSendBatch) {
    const size_t n = std::min(kSendBatch, count - first);
    iovec iov[kSendBatch][2];
    mmsghdr msgs[kSendBatch] = {};
    for (size_t k = 0; k < n; k++) {
      HostNetbuf *nb = nbs[first + k];
      iov[k][0] = {const_cast<VnetHeader *>(&none), kVnetLen};
      iov[k][1] = {nb->data, nb->len};
      msgs[k].msg_hdr.msg_iov = iov[k];
      msgs[k].msg_hdr.msg_iovlen = 2;
    }
    send_messages(pair.packet_fd, msgs, n, written + first);
  }
}

// A frame read from one side, made ready for the filter: its offloaded
// checksum completed (saved to be restored when it is forwarded).
struct InFrame {
  uint8_t *buf;
  size_t n;
  uint16_t saved;
  bool partial;
  HostNetbuf nb;  // last: it ends in the room of owned buffers
};

bool prepare_frame(AdapterPair &pair, uint8_t *buf, size_t n, InFrame *in) {
  if (n <= kVnetLen) return false;
  in->nb = HostNetbuf{};
  std::memcpy(&in->nb.vnet, buf, kVnetLen);
  in->nb.pair = &pair;
  in->nb.data = buf + kVnetLen;
  in->nb.len = static_cast<uint32_t>(n - kVnetLen);
  in->buf = buf;
  in->n = n;
  in->saved = 0;
  in->partial = in->nb.vnet.flags & kVnetNeedsCsum;
  return !in->partial || complete_partial_checksum(in->nb.vnet, in->nb.data, in->nb.len, &in->saved);
}

// Forwards the frame to the other side unless the filter took it.
void forward_frame(AdapterPair &pair, InFrame &in, uint32_t verdict, int out_fd) {
  if (verdict == KERN_VERDICT_TAKEN) return;
  if (in.partial) restore_partial_checksum(in.nb.vnet, in.nb.data, in.saved);
  pair.stack_address.Retarget(in.nb.data, in.nb.len);
  if (write(out_fd, in.buf, in.n) < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EIO &&
      errno != EBADFD)  // a TAP that is gone is said once (device_loss.h)
    host_log("zornfhost: %s: forwarding failed: %s", pair.spec.tap.c_str(), strerror(errno));
}

// Forwards the frames of the stack the filter did not take to the network,
// with their own virtio-net headers, kSendBatch a call.
void forward_to_network(AdapterPair &pair, InFrame *in, const uint32_t *verdicts, size_t count) {
  iovec iov[kSendBatch];
  mmsghdr msgs[kSendBatch] = {};
  bool written[kSendBatch];
  for (size_t k = 0; k < count;) {
    size_t n = 0;
    for (; k < count && n < kSendBatch; k++) {
      if (verdicts[k] == KERN_VERDICT_TAKEN) continue;
      if (in[k].partial) restore_partial_checksum(in[k].nb.vnet, in[k].nb.data, in[k].saved);
      iov[n] = {in[k].buf, in[k].n};
      msgs[n].msg_hdr.msg_iov = &iov[n];
      msgs[n].msg_hdr.msg_iovlen = 1;
      n++;
    }
    send_messages(pair.packet_fd, msgs, n, written);
  }
}

// Hands frames of the stack (each behind its virtio-net header) to the
// filter in one call and forwards what it did not take.
void hand_to_filter(AdapterPair &pair, const RingFrame *frames, size_t count) {
  InFrame in[kStackBatch];
  void *netbufs[kStackBatch];
  uint32_t verdicts[kStackBatch];
  uint32_t n = 0;
  for (size_t k = 0; k < count; k++) {
    if (!prepare_frame(pair, frames[k].bytes, frames[k].len, &in[n])) continue;
    netbufs[n] = &in[n].nb;
    n++;
  }
  if (!n) return;
  Zor_net_inputoutput_batch(KERN_FROM_STACK, netbufs, n, &pair, verdicts);
  report_completions();
  forward_to_network(pair, in, verdicts, n);
}

// The TAP's reader: every frame the TAP holds goes into the pair's stack
// queue, a round at a time, whatever room the filter has.
void stack_reader_loop(AdapterPair *pair) {
  pthread_setname_np(pthread_self(), "zornf-stack");
  std::vector<uint8_t> room(kReadRoom + kVnetLen + kFrameRoom);
  RingFrame frames[kReadRound];
  while (wait_fd(*pair, pair->tap_fd)) {
    size_t got = 0;
    int error = 0;
    for (size_t used = 0; got < kReadRound && used < kReadRoom;) {
      ssize_t n = read(pair->tap_fd, room.data() + used, kVnetLen + kFrameRoom);
      if (n < 0) error = errno;
      if (n <= 0) break;
      if (static_cast<size_t>(n) <= kVnetLen) continue;
      frames[got++] = {room.data() + used, static_cast<size_t>(n)};
      used += (static_cast<size_t>(n) + 15) & ~size_t{15};
    }
    pair->stack_queue.Push(frames, got, kVnetLen);
    // A deleted TAP's descriptor reports an error to every wait from now on.
    if (!got && error == EBADFD) {
      device_gone("TAP", pair->spec.tap);
      break;
    }
  }
  pair->stack_queue.Stop();
}

// The feeder: batches of the stack queue to the filter, in the queue's
// order, while its gate is open (or after waiting the bound for it).
void stack_feeder_loop(AdapterPair *pair) {
  pthread_setname_np(pthread_self(), "zornf-feed");
  StackBatch batch;
  while (!pair->stack_queue.stopped()) {
    pair->gates[KERN_FROM_STACK].WaitOpen(kFlowWaitBound);
    batch.Take(pair->stack_queue, std::chrono::seconds(1));
    hand_to_filter(*pair, batch.frames, batch.count);
    batch.GiveBack(pair->stack_queue);
  }
}

// A wake-up without a frame may be the socket's error (its uplink went
// down), which stays until taken: the reader would wake up for it again
// and again.
void take_socket_error(int fd) {
  int error;
  socklen_t len = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
}

// Frames from the network, up to kUplinkBatch of those in the receive ring,
// handed to the filter together in the order they came. The frames the
// filter lets pass are written to the TAP from the ring's slots, which go
// back to the kernel after that.
void network_side_loop(AdapterPair *pair) {
  pthread_setname_np(pthread_self(), "zornf-net");
  std::vector<uint8_t> room(kLargeFrames * kUplinkRoom);
  const LargeFrameRoom large{room.data(), kUplinkRoom, kLargeFrames};
  RingFrame frames[kUplinkBatch];
  for (;;) {
    pair->gates[KERN_FROM_NETWORK].WaitOpen(kFlowWaitBound);
    if (!wait_fd(*pair, pair->packet_fd)) break;
    const size_t got = pair->ring.Take(frames, kUplinkBatch, large);
    if (!got) take_socket_error(pair->packet_fd);
    InFrame in[kUplinkBatch];
    void *netbufs[kUplinkBatch];
    uint32_t verdicts[kUplinkBatch];
    uint32_t count = 0;
    for (size_t k = 0; k < got; k++) {
      if (!prepare_frame(*pair, frames[k].bytes, frames[k].len, &in[count])) continue;
      netbufs[count] = &in[count].nb;
      count++;
    }
    if (count) {
      Zor_net_inputoutput_batch(KERN_FROM_NETWORK, netbufs, count, pair, verdicts);
      report_completions();
      for (uint32_t k = 0; k < count; k++) forward_frame(*pair, in[k], verdicts[k], pair->tap_fd);
    }
    pair->ring.Release();
  }
}

// Hands frames of the filter's own to the TAP writer, which copies them:
// they are complete from now on.
bool queue_to_stack(AdapterPair &pair, HostNetbuf *const *nbs, size_t count) {
  std::vector<FrameBytes> frames(count);
  for (size_t k = 0; k < count; k++) {
    pair.stack_address.Retarget(nbs[k]->data, nbs[k]->len);
    frames[k] = {nbs[k]->data, nbs[k]->len};
  }
  if (!pair.tap_writer.Queue(frames.data(), count)) return false;
  for (size_t k = 0; k < count; k++) queue_completion(nbs[k]);
  return true;
}

// Sends the filter's buffers to the network, or queues them for the TAP
// writer; each completion is reported after the library's call has returned.
int queue_buffers(void **netbufs, int count, void *netdev, bool to_network) {
  auto *pair = static_cast<AdapterPair *>(netdev);
  if (!pair || !netbufs || count < 1 || !pair->forwarding) return 1;
  auto **nbs = reinterpret_cast<HostNetbuf **>(netbufs);
  if (!to_network) return queue_to_stack(*pair, nbs, static_cast<size_t>(count)) ? 0 : 1;
  std::unique_ptr<bool[]> written(new bool[static_cast<size_t>(count)]);
  send_to_network(*pair, nbs, static_cast<size_t>(count), written.get());
  for (int i = 0; i < count; i++) {
    // Like a device's queue, the host owns the frame now: a write that
    // fails is a frame lost on the wire, and its completion comes all the same.
    if (!written[i]) pair->lost_frames++;
    queue_completion(nbs[i]);
  }
  return 0;
}

}  // namespace

bool open_adapters(const std::vector<AdapterSpec> &specs) {
  for (const AdapterSpec &spec : specs) {
    auto pair = std::make_unique<AdapterPair>();
    pair->spec = spec;
    bool ok = open_pair(*pair);
    pairs.push_back(std::move(pair));
    if (!ok) {
      close_adapters();
      return false;
    }
  }
  return true;
}

void close_adapters() {
  for (auto &pair : pairs) {
    if (pair->lost_frames)
      host_log("zornfhost: %s: %lu frames of the filter could not be written",
               pair->spec.tap.c_str(), pair->lost_frames.load());
    if (const uint64_t dropped = pair->stack_queue.dropped())
      host_log("zornfhost: %s: %llu frames of the local stack dropped while the filter was short",
               pair->spec.tap.c_str(), static_cast<unsigned long long>(dropped));
    close_pair(*pair);
  }
  pairs.clear();
}

std::vector<AdapterPair *> adapter_pairs() {
  std::vector<AdapterPair *> out;
  for (auto &pair : pairs) out.push_back(pair.get());
  return out;
}

bool read_link(const AdapterPair &pair, LinkInfo *out) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  ifreq ifr{};
  bool ok = if_indextoname(pair.tap_ifindex, ifr.ifr_name) != nullptr;
  out->name = ifr.ifr_name;
  ok = ok && ioctl(sock, SIOCGIFHWADDR, &ifr) == 0;
  if (ok) std::memcpy(out->mac, ifr.ifr_hwaddr.sa_data, 6);
  ok = ok && ioctl(sock, SIOCGIFMTU, &ifr) == 0;
  if (ok) out->mtu = static_cast<uint32_t>(ifr.ifr_mtu);
  ok = ok && ioctl(sock, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) out->up = ifr.ifr_flags & IFF_UP;
  close(sock);
  return ok;
}

}  // namespace zornfhost

using namespace zornfhost;

extern "C" {

int KERN_netbuf_queue_send(void **netbufs, int count, void *netdev) {
  return queue_buffers(netbufs, count, netdev, true);
}

int KERN_netbuf_queue_recv(void **netbufs, int count, void *netdev) {
  return queue_buffers(netbufs, count, netdev, false);
}

void KERN_netdev_stop(void *netdev, uint32_t direction) {
  if (netdev && direction <= KERN_FROM_STACK)
    static_cast<AdapterPair *>(netdev)->gates[direction].Close();
}

void KERN_netdev_wake(void *netdev, uint32_t direction) {
  if (netdev && direction <= KERN_FROM_STACK)
    static_cast<AdapterPair *>(netdev)->gates[direction].Open();
}

// Device notifier: every pair is bound under its TAP's name and its link
// reported; the link monitor follows later changes.
int KERN_register_device_notifier(void) {
  for (AdapterPair *pair : adapter_pairs()) {
    LinkInfo link;
    if (!read_link(*pair, &link)) continue;
    if (Zor_DEVN_BindAdapter(pair, link.name.c_str(), 0, 6, link.mac, link.mtu) != 0) {
      host_log("zornfhost: %s could not be bound", link.name.c_str());
      continue;
    }
    if (link.up) Zor_DEVN_ChangeUPAdapter(pair);
  }
  return start_link_monitor() ? 0 : 1;
}

void KERN_unregister_device_notifier(void) { stop_link_monitor(); }

int KERN_net_register_hooks(void) {
  for (AdapterPair *pair : adapter_pairs()) {
    pair->tap_writer.Start(pair->tap_fd, &pair->lost_frames);
    pair->forwarding = true;
    pair->stack_reader = std::thread(stack_reader_loop, pair);
    pair->stack_feeder = std::thread(stack_feeder_loop, pair);
    pair->network_reader = std::thread(network_side_loop, pair);
  }
  return 0;
}

void KERN_net_unregister_hooks(void) {
  for (AdapterPair *pair : adapter_pairs()) {
    if (!pair->forwarding) continue;
    pair->forwarding = false;
    uint64_t one = 1;
    if (write(pair->stop_fd, &one, sizeof one) != sizeof one) host_log("zornfhost: stop failed");
    pair->stack_reader.join();
    pair->stack_feeder.join();
    pair->network_reader.join();
    pair->tap_writer.Stop();
  }
  report_completions();
}

}  // extern "C"
