#include "host/tap_coalesce.h"

#include <cstring>

#include "byte_order.h"
#include "host/checksum.h"

namespace zornfhost {
namespace {

constexpr size_t kEth = 14;
constexpr uint16_t kEthIpv4 = 0x0800;
constexpr uint8_t kTcp = 6;
constexpr uint8_t kAck = 0x10, kPsh = 0x08;
constexpr uint16_t kMoreFragmentsOrOffset = 0x3FFF;
constexpr uint32_t kIpMaxTotal = 0xFFFF;
// IPv4 header fields.
constexpr size_t kIpTotal = 2, kIpFrag = 6, kIpProto = 9, kIpCsum = 10, kIpSrc = 12;
// TCP header fields.
constexpr size_t kTcpSeq = 4, kTcpAck = 8, kTcpOff = 12, kTcpFlags = 13, kTcpWindow = 14,
                 kTcpCsum = 16, kTcpUrgent = 18;
constexpr uint8_t kGsoTcpv4 = 1;

// A TCP segment of a frame that may join a run.
struct Segment {
  const uint8_t *ip, *tcp, *payload;
  size_t ihl, thl, len;  // len: payload bytes
  uint32_t seq;
  uint8_t flags;
};

bool segment_of(const FrameBytes &f, Segment *s) {
  if (f.len < kEth + 20 + 20 || load_be16(f.data + 12) != kEthIpv4) return false;
  const uint8_t *ip = f.data + kEth;
  size_t ihl = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ihl < 20 || ip[kIpProto] != kTcp) return false;
  if (load_be16(ip + kIpFrag) & kMoreFragmentsOrOffset) return false;
  size_t total = load_be16(ip + kIpTotal);
  if (total != f.len - kEth || total < ihl + 20) return false;
  const uint8_t *tcp = ip + ihl;
  size_t thl = (tcp[kTcpOff] >> 4) * 4u;
  if (thl < 20 || ihl + thl > total) return false;
  uint8_t flags = tcp[kTcpFlags];
  if ((flags & ~kPsh) != kAck) return false;  // nothing but ACK, maybe PSH
  *s = {ip, tcp, tcp + thl, ihl, thl, total - ihl - thl, load_be32(tcp + kTcpSeq), flags};
  return s->len > 0;
}

bool same(const uint8_t *a, const uint8_t *b, size_t n) { return std::memcmp(a, b, n) == 0; }

// b continues the run that `first` starts and `last` ends (bytes so far).
bool continues(const FrameBytes &ff, const Segment &first, const Segment &last, size_t bytes,
               const FrameBytes &fb, const Segment &b) {
  if (last.flags & kPsh || last.len != first.len || b.len > first.len) return false;
  if (b.seq != last.seq + last.len) return false;
  if (first.ihl + first.thl + bytes + b.len > kIpMaxTotal) return false;
  if (!same(ff.data, fb.data, kEth) || b.ihl != first.ihl || b.thl != first.thl) return false;
  // IPv4: all but total length, identification and checksum.
  if (!same(first.ip, b.ip, kIpTotal) ||
      !same(first.ip + kIpFrag, b.ip + kIpFrag, kIpCsum - kIpFrag) ||
      !same(first.ip + kIpSrc, b.ip + kIpSrc, first.ihl - kIpSrc))
    return false;
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
                   TapWrite *w) {
  w->headlen = kEth + first.ihl + first.thl;
  std::memcpy(w->head, ff.data, w->headlen);
  uint8_t *ip = w->head + kEth, *tcp = ip + first.ihl;
  const size_t tcplen = first.thl + bytes;
  store_be16(ip + kIpTotal, static_cast<uint16_t>(first.ihl + tcplen));
  store_be16(ip + kIpCsum, 0);
  store_be16(ip + kIpCsum, checksum_fold(checksum_add(0, ip, first.ihl)));
  tcp[kTcpFlags] = static_cast<uint8_t>(first.flags | (last.flags & kPsh));
  uint64_t pseudo = checksum_add(0, ip + kIpSrc, 8) + kTcp + tcplen;
  store_be16(tcp + kTcpCsum, static_cast<uint16_t>(~checksum_fold(pseudo)));
  w->vnet = VnetHeader{kVnetNeedsCsum, kGsoTcpv4, static_cast<uint16_t>(w->headlen),
                       static_cast<uint16_t>(first.len), static_cast<uint16_t>(kEth + first.ihl),
                       kTcpCsum};
}

}  // namespace

std::vector<TapWrite> plan_tap_writes(const FrameBytes *frames, size_t count) {
  std::vector<TapWrite> out;
  for (size_t i = 0; i < count;) {
    TapWrite w{};
    w.first = i;
    w.frames = 1;
    Segment first, last, next;
    if (segment_of(frames[i], &first)) {
      last = first;
      size_t bytes = first.len;
      while (i + w.frames < count && segment_of(frames[i + w.frames], &next) &&
             continues(frames[i], first, last, bytes, frames[i + w.frames], next)) {
        bytes += next.len;
        last = next;
        w.frames++;
      }
      if (w.frames > 1) make_run_head(frames[i], first, last, bytes, &w);
    }
    i += w.frames;
    out.push_back(w);
  }
  return out;
}

size_t tap_write_iov(const TapWrite &w, const FrameBytes *frames, iovec *iov) {
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

}  // namespace zornfhost
