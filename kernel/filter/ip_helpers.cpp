#include "kernel/filter/ip_helpers.h"

#include "byte_order.h"
#include "kernel/filter/filter_core.h"

namespace {

uint16_t fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint16_t)sum;
}

// Sum of the pseudo header of the packet at ip and the len transport bytes
// at seg.
uint16_t segment_sum(const uint8_t *ip, const uint8_t *seg, uint32_t len) {
  uint32_t sum = 0;
  for (uint32_t i = IPH_SRC; i < IPH_DST + 4; i += 2) sum += load_be16(ip + i);
  sum += ip[IPH_PROTO];
  sum += len;
  return IPSum(seg, len, sum);
}

// The same for the transport bytes of the packet itself.
uint16_t transport_sum(const uint8_t *ip, uint32_t ihl, uint32_t len) {
  return segment_sum(ip, ip + ihl, len);
}

// Offset of the checksum field in the transport header; 0 when the protocol
// has none that this code computes.
uint32_t checksum_field(uint8_t proto) {
  return proto == IPPROTO_TCP_NUM ? TCPH_CHECKSUM : proto == IPPROTO_UDP_NUM ? UDPH_CHECKSUM : 0;
}

bool transport_fits(const uint8_t *ip, uint32_t *ihl, uint32_t *len) {
  *ihl = IpHeaderLen(ip);
  uint32_t total = load_be16(ip + IPH_TOTAL_LEN);
  if (*ihl < IPH_MIN_LEN || total < *ihl) return false;
  *len = total - *ihl;
  uint32_t field = checksum_field(ip[IPH_PROTO]);
  return field && *len >= field + 2;
}

}  // namespace

extern "C" {

// A ones' complement sum does not depend on byte order: the bytes are added
// as little-endian words, a 64-bit load (two 32-bit halves) at a time, and
// the folded sum is swapped to network order before the caller's sum joins it.
uint16_t IPSum(const uint8_t *data, uint32_t len, uint32_t sum) {
  constexpr uint32_t kWide = sizeof(uint64_t), kPair = sizeof(uint16_t), kLanes = 4;
  // Four sums side by side (no carry chain between them), each of 32-bit
  // halves in 64 bits: no carry is lost below 2^32 words.
  uint64_t lane[kLanes] = {};
  uint32_t i = 0;
  for (; i + kLanes * kWide <= len; i += kLanes * kWide) {
    for (uint32_t k = 0; k < kLanes; k++) {
      uint64_t w = load_le64(data + i + k * kWide);
      lane[k] += (w & 0xFFFFFFFFu) + (w >> 32);
    }
  }
  uint64_t acc = lane[0] + lane[1] + lane[2] + lane[3];
  for (; i + kWide <= len; i += kWide) {
    uint64_t w = load_le64(data + i);
    acc += (w & 0xFFFFFFFFu) + (w >> 32);
  }
  for (; i + kPair <= len; i += kPair) acc += load_le16(data + i);
  if (i < len) acc += data[i];
  uint16_t le = fold(acc);
  return fold((uint64_t)sum + (uint16_t)(le << 8 | le >> 8));
}

void CalcChecksum(uint8_t *ip) {
  uint32_t ihl = IpHeaderLen(ip);
  store_be16(ip + IPH_CHECKSUM, 0);
  store_be16(ip + IPH_CHECKSUM, (uint16_t)~IPSum(ip, ihl, 0));
}

uint32_t IsValidIpChkSum(const uint8_t *ip) {
  return IPSum(ip, IpHeaderLen(ip), 0) == 0xFFFF;
}

void CalcUdpTcpChkSum(uint8_t *ip) {
  uint32_t ihl, len;
  if (!transport_fits(ip, &ihl, &len)) return;
  uint8_t *field = ip + ihl + checksum_field(ip[IPH_PROTO]);
  store_be16(field, 0);
  uint16_t c = (uint16_t)~transport_sum(ip, ihl, len);
  if (c == 0 && ip[IPH_PROTO] == IPPROTO_UDP_NUM) c = 0xFFFF;
  store_be16(field, c);
}

void CalcTcpChkSumAt(const uint8_t *ip, uint8_t *tcp, uint32_t len) {
  store_be16(tcp + TCPH_CHECKSUM, 0);
  store_be16(tcp + TCPH_CHECKSUM, (uint16_t)~segment_sum(ip, tcp, len));
}

uint32_t IsInvalidUdpTcpChkSum(const uint8_t *ip) {
  uint32_t ihl, len;
  if (!transport_fits(ip, &ihl, &len)) return 1;
  if (ip[IPH_PROTO] == IPPROTO_UDP_NUM && load_be16(ip + ihl + UDPH_CHECKSUM) == 0) return 0;
  return transport_sum(ip, ihl, len) != 0xFFFF;
}

uint32_t IPParsePacket(IPPacket *p) {
  const uint8_t *ip = p->ip;
  p->ihl = IpHeaderLen(ip);
  p->total = load_be16(ip + IPH_TOTAL_LEN);
  p->tos = ip[IPH_TOS];
  p->proto = ip[IPH_PROTO];
  p->src = load_be32(ip + IPH_SRC);
  p->dst = load_be32(ip + IPH_DST);
  uint16_t frag = load_be16(ip + IPH_FRAG);
  p->mf = (frag & IP_MORE_FRAGMENTS) ? 1 : 0;
  p->fragoff = (uint16_t)((frag & IP_OFFSET_MASK) * 8);
  p->payload = p->total - p->ihl;
  p->sport = p->dport = 0;
  if (p->fragoff != 0) return 0;
  const uint8_t *t = ip + p->ihl;
  if (p->proto == IPPROTO_UDP_NUM) {
    if (p->payload < UDPH_SIZE) return 1;
    // A whole datagram must hold the length its header gives.
    if (!p->mf && load_be16(t + UDPH_LEN) > p->payload) return 1;
  } else if (p->proto == IPPROTO_TCP_NUM) {
    if (p->payload < TCPH_MIN_LEN) return 1;
    uint32_t off = TcpHeaderLen(t);
    if (off < TCPH_MIN_LEN || (!p->mf && off > p->payload)) return 1;
  } else {
    return 0;
  }
  // UDP and TCP carry their ports at the same offsets.
  p->sport = load_be16(t + UDPH_SPORT);
  p->dport = load_be16(t + UDPH_DPORT);
  return 0;
}

uint32_t IPClampMss(IPPacket *p, uint32_t mtu) {
  if (p->proto != IPPROTO_TCP_NUM || p->fragoff || p->mf) return 0;
  uint8_t *tcp = p->ip + p->ihl;
  if (!(tcp[TCPH_FLAGS] & TCP_SYN)) return 0;
  uint32_t headers = IPH_MIN_LEN + TCPH_MIN_LEN + FilterGetMaxHeaderSize();
  uint32_t limit = mtu > headers ? mtu - headers : TCP_DEFAULT_MSS;
  uint8_t *value = TcpFindOption(tcp, TcpHeaderLen(tcp), TCPOPT_MSS, TCPOLEN_MSS);
  if (!value) return 0;
  uint32_t mss = load_be16(value);
  if (mss > limit) {
    store_be16(value, (uint16_t)limit);
    CalcUdpTcpChkSum(p->ip);
    mss = limit;
  }
  return mss;
}

uint8_t *TcpFindOption(uint8_t *tcp, uint32_t hlen, uint8_t kind, uint8_t len) {
  for (uint32_t i = TCPH_OPTIONS; i < hlen;) {
    uint8_t at = tcp[i + TCPOPT_KIND];
    if (at == TCPOPT_END) return nullptr;
    if (at == TCPOPT_NOP) {
      i++;
      continue;
    }
    if (i + TCPOPT_LEN >= hlen) return nullptr;
    uint8_t n = tcp[i + TCPOPT_LEN];
    if (n < TCPOPT_VALUE || i + n > hlen) return nullptr;
    if (at == kind && n == len) return tcp + i + TCPOPT_VALUE;
    i += n;
  }
  return nullptr;
}

}  // extern "C"
