#include "tools/gwsim/tcp_segments.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "offload/checksum.h"
#include "kernel/filter/ip_helpers.h"

namespace gwsim {
namespace {

using zor::offload::checksum_add;
using zor::offload::checksum_fold;

constexpr uint8_t kTcpCwr = 0x80;
// The IPv4 header bytes that must agree for packets to be joined: TOS,
// flags and offset, TTL, the addresses.
constexpr uint32_t kIpSame[][2] = {{IPH_TOS, 1}, {IPH_FRAG, 3}, {IPH_SRC, 8}};
// The TCP header bytes that must agree (besides the flags and the options):
// ports, acknowledgement, data offset, window, urgent pointer.
constexpr uint32_t kTcpSame[][2] = {
    {TCPH_SPORT, 4}, {TCPH_ACKNUM, 5}, {TCPH_WINDOW, 2}, {TCPH_CHECKSUM + 2, 2}};

// The TCP pseudo-header's sum for a segment of tcp_len bytes.
uint64_t PseudoSum(const uint8_t *ip, uint32_t tcp_len) {
  return checksum_add(0, ip + IPH_SRC, 8) + IPPROTO_TCP_NUM + tcp_len;
}

uint32_t DataLen(const uint8_t *ip, uint32_t len) {
  return len - IpHeaderLen(ip) - TcpHeaderLen(ip + IpHeaderLen(ip));
}

bool SameBytes(const uint8_t *a, const uint8_t *b, const uint32_t (&spans)[][2], size_t n) {
  for (size_t i = 0; i < n; i++)
    if (memcmp(a + spans[i][0], b + spans[i][0], spans[i][1]) != 0) return false;
  return true;
}

// A packet that may start or continue a joined frame: TCP over IPv4 with a
// 20-byte header, flags ACK or ACK|PSH, data.
bool Joinable(const uint8_t *ip, uint32_t len) {
  if (len < IPH_MIN_LEN + TCPH_MIN_LEN || ip[IPH_VHL] != IP_VHL_V4_MIN ||
      ip[IPH_PROTO] != IPPROTO_TCP_NUM || load_be16(ip + IPH_TOTAL_LEN) != len)
    return false;
  const uint8_t *tcp = ip + IPH_MIN_LEN;
  uint32_t thl = TcpHeaderLen(tcp);
  return thl >= TCPH_MIN_LEN && IPH_MIN_LEN + thl < len &&
         (tcp[TCPH_FLAGS] & ~TCP_PSH) == TCP_ACK;
}

}  // namespace

bool PlanFrame(uint8_t *buf, size_t n, TunFrame *f) {
  if (n < sizeof(VnetHeader) + IPH_MIN_LEN) return false;
  *f = TunFrame{};
  memcpy(&f->vnet, buf, sizeof f->vnet);
  f->ip = buf + sizeof f->vnet;
  const size_t avail = n - sizeof f->vnet;
  const uint8_t *ip = f->ip;
  f->ihl = IpHeaderLen(ip);
  f->len = load_be16(ip + IPH_TOTAL_LEN);
  if (IpVersion(ip) != IP_VERSION_4 || f->ihl < IPH_MIN_LEN || f->len < f->ihl || f->len > avail)
    return false;
  const uint8_t gso = f->vnet.gso_type & ~kVnetGsoEcn;
  if (gso == kVnetGsoNone) {
    f->count = 1;
    return !(f->vnet.flags & zor::offload::kVnetNeedsCsum) ||
           (size_t)f->vnet.csum_start + f->vnet.csum_offset + 2 <= f->len;
  }
  if (gso != kVnetGsoTcpV4 || ip[IPH_PROTO] != IPPROTO_TCP_NUM || !f->vnet.gso_size ||
      f->len < f->ihl + TCPH_MIN_LEN)
    return false;
  f->thl = TcpHeaderLen(ip + f->ihl);
  if (f->thl < TCPH_MIN_LEN || f->ihl + f->thl > f->len) return false;
  f->seg = f->vnet.gso_size;
  const uint32_t data = f->len - f->ihl - f->thl;
  f->count = data ? (data + f->seg - 1) / f->seg : 1;
  return true;
}

uint32_t PacketPayloadLen(const TunFrame &f, uint32_t i) {
  if (!f.seg) return f.len - f.ihl;
  const uint32_t data = f.len - f.ihl - f.thl;
  return f.thl + std::min(f.seg, data - std::min(data, i * f.seg));
}

uint16_t PacketId(const TunFrame &f, uint32_t i) {
  return (uint16_t)(load_be16(f.ip + IPH_ID) + (f.seg ? i : 0));
}

void PutPacketPayload(TunFrame &f, uint32_t i, uint8_t *out) {
  const uint32_t n = PacketPayloadLen(f, i);
  if (!f.seg) {
    uint16_t saved;
    if (f.vnet.flags & zor::offload::kVnetNeedsCsum)
      zor::offload::complete_partial_checksum(f.vnet, f.ip, f.len, &saved);
    f.vnet.flags &= (uint8_t)~zor::offload::kVnetNeedsCsum;
    memcpy(out, f.ip + f.ihl, n);
    return;
  }
  const uint8_t *tcp = f.ip + f.ihl;
  const uint32_t off = i * f.seg;
  memcpy(out, tcp, f.thl);
  memcpy(out + f.thl, tcp + f.thl + off, n - f.thl);
  store_be32(out + TCPH_SEQ, load_be32(tcp + TCPH_SEQ) + off);
  uint8_t flags = tcp[TCPH_FLAGS];
  if (i + 1 < f.count) flags &= (uint8_t)~(TCP_FIN | TCP_PSH);
  if (i > 0) flags &= (uint8_t)~kTcpCwr;
  out[TCPH_FLAGS] = flags;
  store_be16(out + TCPH_CHECKSUM, 0);
  store_be16(out + TCPH_CHECKSUM, checksum_fold(checksum_add(PseudoSum(f.ip, n), out, n)));
}

void SegmentJoiner::Add(uint8_t *ip, uint32_t len) {
  if (first_ && Joins(ip, len)) {
    const uint32_t head = IPH_MIN_LEN + TcpHeaderLen(ip + IPH_MIN_LEN);
    iov_.push_back({ip + head, len - head});
    writes_.back().count++;
    last_ = ip;
    last_len_ = len;
    total_ += len - head;
    return;
  }
  Close();
  writes_.push_back({VnetHeader{}, (uint32_t)iov_.size(), 1});
  iov_.push_back({ip, len});
  if (!Joinable(ip, len) || (ip[IPH_MIN_LEN + TCPH_FLAGS] & TCP_PSH)) return;
  first_ = last_ = ip;
  first_len_ = last_len_ = total_ = len;
  seg_ = DataLen(ip, len);
}

bool SegmentJoiner::Joins(const uint8_t *ip, uint32_t len) const {
  if (!Joinable(ip, len) || writes_.back().count >= kMaxJoined) return false;
  const uint8_t *tcp = ip + IPH_MIN_LEN, *first_tcp = first_ + IPH_MIN_LEN,
                *last_tcp = last_ + IPH_MIN_LEN;
  const uint32_t thl = TcpHeaderLen(tcp), data = len - IPH_MIN_LEN - thl;
  const uint32_t last_data = DataLen(last_, last_len_);
  return thl == TcpHeaderLen(first_tcp) && !(last_tcp[TCPH_FLAGS] & TCP_PSH) &&
         last_data == seg_ && data <= seg_ && total_ + data <= IP_MAX_TOTAL_LEN &&
         SameBytes(ip, first_, kIpSame, std::size(kIpSame)) &&
         SameBytes(tcp, first_tcp, kTcpSame, std::size(kTcpSame)) &&
         memcmp(tcp + TCPH_OPTIONS, first_tcp + TCPH_OPTIONS, thl - TCPH_OPTIONS) == 0 &&
         load_be32(tcp + TCPH_SEQ) == load_be32(last_tcp + TCPH_SEQ) + last_data;
}

void SegmentJoiner::Close() {
  if (first_ && writes_.back().count > 1) CloseJoined();
  first_ = last_ = nullptr;
}

void SegmentJoiner::CloseJoined() {
  uint8_t *ip = first_, *tcp = ip + IPH_MIN_LEN;
  const uint32_t thl = TcpHeaderLen(tcp);
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)total_);
  store_be16(ip + IPH_CHECKSUM, 0);
  store_be16(ip + IPH_CHECKSUM, checksum_fold(checksum_add(0, ip, IPH_MIN_LEN)));
  tcp[TCPH_FLAGS] |= last_[IPH_MIN_LEN + TCPH_FLAGS] & TCP_PSH;
  // Left to the stack: the field holds the pseudo-header's sum.
  store_be16(tcp + TCPH_CHECKSUM, (uint16_t)~checksum_fold(PseudoSum(ip, total_ - IPH_MIN_LEN)));
  VnetHeader &v = writes_.back().vnet;
  v.flags = zor::offload::kVnetNeedsCsum;
  v.gso_type = kVnetGsoTcpV4;
  v.hdr_len = (uint16_t)(IPH_MIN_LEN + thl);
  v.gso_size = (uint16_t)seg_;
  v.csum_start = IPH_MIN_LEN;
  v.csum_offset = TCPH_CHECKSUM;
}

void SegmentJoiner::Clear() {
  writes_.clear();
  iov_.clear();
  first_ = last_ = nullptr;
}

}  // namespace gwsim
