#include "tools/gwsim/tcp_segments.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "kernel/filter/ip_helpers.h"
#include "offload/checksum.h"

namespace gwsim {
namespace {

using zor::offload::checksum_add;
using zor::offload::checksum_fold;
using zor::offload::kVnetGsoEcn;
using zor::offload::kVnetGsoNone;
using zor::offload::kVnetGsoTcpv4;
using zor::offload::kVnetNeedsCsum;

constexpr uint8_t kTcpCwr = 0x80;

// The TCP pseudo-header's sum for a segment of tcp_len bytes.
uint64_t PseudoSum(const uint8_t *ip, uint32_t tcp_len) {
  return checksum_add(0, ip + IPH_SRC, 8) + IPPROTO_TCP_NUM + tcp_len;
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
    return !(f->vnet.flags & kVnetNeedsCsum) ||
           (size_t)f->vnet.csum_start + f->vnet.csum_offset + 2 <= f->len;
  }
  if (gso != kVnetGsoTcpv4 || ip[IPH_PROTO] != IPPROTO_TCP_NUM || !f->vnet.gso_size ||
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
    if (f.vnet.flags & kVnetNeedsCsum)
      zor::offload::complete_partial_checksum(f.vnet, f.ip, f.len, &saved);
    f.vnet.flags &= (uint8_t)~kVnetNeedsCsum;
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

}  // namespace gwsim
