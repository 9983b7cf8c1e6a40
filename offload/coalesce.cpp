#include "offload/coalesce.h"

#include <cerrno>
#include <cstring>

#include "byte_order.h"
#include "offload/checksum.h"

namespace zor::offload {
namespace {

constexpr size_t kEthType = 12;
constexpr uint16_t kEthIpv4 = 0x0800;
constexpr uint8_t kTcp = 6, kUdp = 17;
constexpr uint8_t kAck = 0x10, kPsh = 0x08;
constexpr uint16_t kDontFragment = 0x4000, kMoreFragmentsOrOffset = 0x3FFF;
constexpr uint32_t kIpMaxTotal = 0xFFFF;
// IPv4 header fields.
constexpr size_t kIpTotal = 2, kIpId = 4, kIpFrag = 6, kIpProto = 9, kIpCsum = 10, kIpSrc = 12;
// TCP header fields.
constexpr size_t kTcpSeq = 4, kTcpAck = 8, kTcpOff = 12, kTcpFlags = 13, kTcpWindow = 14,
                 kTcpCsum = 16, kTcpUrgent = 18;
// UDP header fields.
constexpr size_t kUdpLen = 4, kUdpCsum = 6, kUdpHeader = 8;

bool same(const uint8_t *a, const uint8_t *b, size_t n) { return std::memcmp(a, b, n) == 0; }

// An unfragmented IPv4 packet of `proto` that fills its frame behind the
// link header, with at least `l4` bytes past its header.
struct Ipv4 {
  const uint8_t *ip;
  size_t link, ihl, total;
};

bool ipv4_of(const FrameBytes &f, Link link, uint8_t proto, size_t l4, Ipv4 *p) {
  const size_t at = static_cast<size_t>(link);
  if (f.len < at + 20 + l4) return false;
  if (link == Link::kEthernet && load_be16(f.data + kEthType) != kEthIpv4) return false;
  const uint8_t *ip = f.data + at;
  size_t ihl = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ihl < 20 || ip[kIpProto] != proto) return false;
  if (load_be16(ip + kIpFrag) & kMoreFragmentsOrOffset) return false;
  size_t total = load_be16(ip + kIpTotal);
  if (total != f.len - at || total < ihl + l4) return false;
  *p = {ip, at, ihl, total};
  return true;
}

// The same link header and IPv4 header but total length, identification
// and checksum.
bool same_link_and_ipv4(const FrameBytes &fa, const Ipv4 &a, const FrameBytes &fb,
                        const Ipv4 &b) {
  return same(fa.data, fb.data, a.link) && a.ihl == b.ihl && same(a.ip, b.ip, kIpTotal) &&
         same(a.ip + kIpFrag, b.ip + kIpFrag, kIpCsum - kIpFrag) &&
         same(a.ip + kIpSrc, b.ip + kIpSrc, a.ihl - kIpSrc);
}

// Its IPv4 header checksum and the checksum of its `proto` payload are
// right.
bool checksums_hold(const Ipv4 &p, uint8_t proto) {
  const size_t len = p.total - p.ihl;
  return checksum_fold(checksum_add(0, p.ip, p.ihl)) == 0 &&
         checksum_fold(checksum_add(0, p.ip + kIpSrc, 8) + proto + len +
                       checksum_add(0, p.ip + p.ihl, len)) == 0;
}

// Copies the first frame's headers (`headlen` bytes) into the run's head
// with the run's IPv4 total length and header checksum; returns its IPv4
// header.
uint8_t *make_ipv4_head(const FrameBytes &ff, const Ipv4 &first, size_t headlen, size_t total,
                        DeviceWrite *w) {
  w->headlen = headlen;
  std::memcpy(w->head, ff.data, headlen);
  uint8_t *ip = w->head + first.link;
  store_be16(ip + kIpTotal, static_cast<uint16_t>(total));
  store_be16(ip + kIpCsum, 0);
  store_be16(ip + kIpCsum, checksum_fold(checksum_add(0, ip, first.ihl)));
  return ip;
}

// The folded sum of the pseudo-header of an IPv4 packet carrying `len`
// bytes of `proto`: what a partial checksum starts from.
uint16_t pseudo_sum(const uint8_t *ip, uint8_t proto, size_t len) {
  return static_cast<uint16_t>(~checksum_fold(checksum_add(0, ip + kIpSrc, 8) + proto + len));
}

// A TCP segment of a frame that may join a run (its checksums unchecked).
struct Segment {
  static constexpr uint8_t kProto = kTcp;
  Ipv4 v4;
  const uint8_t *tcp;
  size_t thl, len;  // len: payload bytes
  uint32_t seq;
  uint8_t flags;
};

bool packet_of(const FrameBytes &f, Link link, Segment *s) {
  if (!ipv4_of(f, link, kTcp, 20, &s->v4)) return false;
  s->tcp = s->v4.ip + s->v4.ihl;
  s->thl = (s->tcp[kTcpOff] >> 4) * 4u;
  if (s->thl < 20 || s->v4.ihl + s->thl > s->v4.total) return false;
  s->flags = s->tcp[kTcpFlags];
  if ((s->flags & ~kPsh) != kAck) return false;  // nothing but ACK, maybe PSH
  s->len = s->v4.total - s->v4.ihl - s->thl;
  s->seq = load_be32(s->tcp + kTcpSeq);
  return s->len > 0;
}

// b continues the run that `first` starts and `last` ends (bytes so far).
bool continues(const FrameBytes &ff, const Segment &first, const Segment &last, size_t bytes,
               size_t, const FrameBytes &fb, const Segment &b) {
  if (last.flags & kPsh || last.len != first.len || b.len > first.len) return false;
  if (b.seq != last.seq + last.len) return false;
  if (first.v4.ihl + first.thl + bytes + b.len > kIpMaxTotal) return false;
  if (!same_link_and_ipv4(ff, first.v4, fb, b.v4) || b.thl != first.thl) return false;
  // TCP: ports, acknowledgement and offset, window, urgent pointer and
  // options; not the sequence number, flags and checksum.
  return same(first.tcp, b.tcp, kTcpSeq) &&
         same(first.tcp + kTcpAck, b.tcp + kTcpAck, kTcpFlags - kTcpAck) &&
         same(first.tcp + kTcpWindow, b.tcp + kTcpWindow, kTcpCsum - kTcpWindow) &&
         same(first.tcp + kTcpUrgent, b.tcp + kTcpUrgent, first.thl - kTcpUrgent);
}

// The headers of a run of `bytes` payload bytes: the first segment's with
// the run's length, the PSH of its last, and the checksum left partial.
void make_run_head(const FrameBytes &ff, const Segment &first, const Segment &last, size_t bytes,
                   DeviceWrite *w) {
  const size_t tcplen = first.thl + bytes;
  uint8_t *ip = make_ipv4_head(ff, first.v4, first.v4.link + first.v4.ihl + first.thl,
                               first.v4.ihl + tcplen, w);
  uint8_t *tcp = ip + first.v4.ihl;
  tcp[kTcpFlags] = static_cast<uint8_t>(first.flags | (last.flags & kPsh));
  store_be16(tcp + kTcpCsum, pseudo_sum(ip, kTcp, tcplen));
  w->vnet = VnetHeader{kVnetNeedsCsum, kVnetGsoTcpv4, static_cast<uint16_t>(w->headlen),
                       static_cast<uint16_t>(first.len),
                       static_cast<uint16_t>(first.v4.link + first.v4.ihl), kTcpCsum};
}

// A UDP datagram of a frame that may join a run (its checksums unchecked).
struct Datagram {
  static constexpr uint8_t kProto = kUdp;
  Ipv4 v4;
  const uint8_t *udp;
  size_t len;  // payload bytes
};

bool packet_of(const FrameBytes &f, Link link, Datagram *d) {
  if (!ipv4_of(f, link, kUdp, kUdpHeader, &d->v4)) return false;
  d->udp = d->v4.ip + d->v4.ihl;
  const size_t udplen = load_be16(d->udp + kUdpLen);
  if (udplen != d->v4.total - d->v4.ihl || load_be16(d->udp + kUdpCsum) == 0) return false;
  d->len = udplen - kUdpHeader;
  return d->len > 0;
}

// b, the n-th datagram from `first` on, continues the run that `last` ends
// (bytes so far).
bool continues(const FrameBytes &ff, const Datagram &first, const Datagram &last, size_t bytes,
               size_t n, const FrameBytes &fb, const Datagram &b) {
  if (last.len != first.len || b.len > first.len) return false;
  if (first.v4.ihl + kUdpHeader + bytes + b.len > kIpMaxTotal) return false;
  if (!same_link_and_ipv4(ff, first.v4, fb, b.v4) || !same(first.udp, b.udp, kUdpLen))
    return false;
  const uint16_t id = static_cast<uint16_t>(load_be16(first.v4.ip + kIpId) + n);
  const bool any_id = load_be16(first.v4.ip + kIpFrag) & kDontFragment;
  return any_id || load_be16(b.v4.ip + kIpId) == id;
}

// The headers of a run of `bytes` payload bytes: the first datagram's with
// the run's lengths and the checksum left partial.
void make_run_head(const FrameBytes &ff, const Datagram &first, const Datagram &, size_t bytes,
                   DeviceWrite *w) {
  const size_t udplen = kUdpHeader + bytes;
  uint8_t *ip = make_ipv4_head(ff, first.v4, first.v4.link + first.v4.ihl + kUdpHeader,
                               first.v4.ihl + udplen, w);
  uint8_t *udp = ip + first.v4.ihl;
  store_be16(udp + kUdpLen, static_cast<uint16_t>(udplen));
  store_be16(udp + kUdpCsum, pseudo_sum(ip, kUdp, udplen));
  w->vnet = VnetHeader{kVnetNeedsCsum, kVnetGsoUdpL4, static_cast<uint16_t>(w->headlen),
                       static_cast<uint16_t>(first.len),
                       static_cast<uint16_t>(first.v4.link + first.v4.ihl), kUdpCsum};
}

// The longest run of Segments or Datagrams from frames[0] on. The
// checksums, the dearest rule, are checked last: the first's once a second
// joins it.
template <class Packet>
void plan_run(const FrameBytes *frames, size_t count, Link link, DeviceWrite *w) {
  Packet first, last, next;
  if (!packet_of(frames[0], link, &first)) return;
  last = first;
  size_t bytes = first.len;
  while (w->frames < count && w->frames < kRunPackets &&
         packet_of(frames[w->frames], link, &next) &&
         continues(frames[0], first, last, bytes, w->frames, frames[w->frames], next) &&
         (w->frames > 1 || checksums_hold(first.v4, Packet::kProto)) &&
         checksums_hold(next.v4, Packet::kProto)) {
    bytes += next.len;
    last = next;
    w->frames++;
  }
  if (w->frames > 1) make_run_head(frames[0], first, last, bytes, w);
}

bool write_one(int fd, const DeviceWrite &w, const FrameBytes *frames) {
  iovec iov[2 + kRunPackets];
  const size_t parts = write_iov(w, frames, iov);
  return writev(fd, iov, static_cast<int>(parts)) >= 0;
}

}  // namespace

std::vector<DeviceWrite> plan_writes(const FrameBytes *frames, size_t count, Link link,
                                     bool udp_runs) {
  std::vector<DeviceWrite> out;
  for (size_t i = 0; i < count; i += out.back().frames) {
    DeviceWrite w{};
    w.first = i;
    w.frames = 1;
    plan_run<Segment>(frames + i, count - i, link, &w);
    if (w.frames == 1 && udp_runs) plan_run<Datagram>(frames + i, count - i, link, &w);
    out.push_back(w);
  }
  return out;
}

size_t write_iov(const DeviceWrite &w, const FrameBytes *frames, iovec *iov) {
  iov[0] = {const_cast<VnetHeader *>(&w.vnet), sizeof w.vnet};
  if (!w.headlen) {
    const FrameBytes &f = frames[w.first];
    iov[1] = {const_cast<uint8_t *>(f.data), f.len};
    return 2;
  }
  iov[1] = {const_cast<uint8_t *>(w.head), w.headlen};
  for (size_t k = 0; k < w.frames; k++) {
    const FrameBytes &f = frames[w.first + k];
    iov[2 + k] = {const_cast<uint8_t *>(f.data + w.headlen), f.len - w.headlen};
  }
  return 2 + w.frames;
}

size_t write_planned(int fd, const std::vector<DeviceWrite> &writes, const FrameBytes *frames,
                     bool *udp_runs) {
  size_t lost = 0;
  for (const DeviceWrite &w : writes) {
    if (write_one(fd, w, frames)) continue;
    if (errno != EINVAL || w.vnet.gso_type != kVnetGsoUdpL4) {
      lost += w.frames;
      continue;
    }
    *udp_runs = false;  // a kernel that cannot cut UDP runs
    for (size_t k = 0; k < w.frames; k++)
      if (!write_one(fd, DeviceWrite{w.first + k, 1, {}, {}, 0}, frames)) lost++;
  }
  return lost;
}

}  // namespace zor::offload
