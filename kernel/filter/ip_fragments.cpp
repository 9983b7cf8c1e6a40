#include "kernel/filter/ip_fragments.h"

#include "byte_order.h"
#include "kernel/filter/ip_helpers.h"

namespace {

constexpr uint8_t kOptEnd = 0, kOptNop = 1, kOptCopied = 0x80;
constexpr uint32_t kFragmentUnit = 8;

const uint8_t *ip_of(const uint8_t *frame) { return frame + ETH_HEADER_LEN; }

// The header length of a fragment after the first: the copied options,
// padded to 32 bits; with out, they are written there behind 20 bytes.
uint32_t later_header(const uint8_t *ip, uint8_t *out) {
  const uint32_t ihl = IpHeaderLen(ip);
  uint32_t n = IPH_MIN_LEN;
  for (uint32_t at = IPH_MIN_LEN; at < ihl;) {
    const uint8_t kind = ip[at];
    if (kind == kOptEnd) break;
    const uint32_t olen = kind == kOptNop ? 1 : at + 1 < ihl ? ip[at + 1] : 0;
    if (olen < 1 || (kind != kOptNop && olen < 2) || at + olen > ihl) break;
    if (kind & kOptCopied) {
      if (out) memcpy(out + n, ip + at, olen);
      n += olen;
    }
    at += olen;
  }
  const uint32_t padded = (n + 3) & ~3u;
  if (out) memset(out + n, kOptEnd, padded - n);
  return padded;
}

uint32_t header_at(const uint8_t *ip, uint32_t off) {
  return off ? later_header(ip, nullptr) : IpHeaderLen(ip);
}

uint32_t payload_of(const uint8_t *ip) { return load_be16(ip + IPH_TOTAL_LEN) - IpHeaderLen(ip); }

uint32_t piece(const uint8_t *ip, uint32_t step, uint32_t off) {
  const uint32_t rest = payload_of(ip) - off;
  return rest < step ? rest : step;
}

}  // namespace

extern "C" {

uint32_t IPFragmentStep(const uint8_t *frame, uint32_t len, uint32_t mtu) {
  if (len < ETH_HEADER_LEN + IPH_MIN_LEN || load_be16(frame + ETHH_TYPE) != ETH_TYPE_IPV4)
    return 0;
  const uint8_t *ip = ip_of(frame);
  const uint32_t ihl = IpHeaderLen(ip), total = load_be16(ip + IPH_TOTAL_LEN);
  if (IpVersion(ip) != IP_VERSION_4 || ihl < IPH_MIN_LEN || total < ihl ||
      ETH_HEADER_LEN + total != len || total <= mtu)
    return 0;
  const uint16_t frag = load_be16(ip + IPH_FRAG);
  if (frag & (IP_MORE_FRAGMENTS | IP_OFFSET_MASK)) return 0;
  // Every fragment's payload is a multiple of 8 within the MTU, behind the
  // longer of the two headers.
  const uint32_t later = later_header(ip, nullptr), head = ihl > later ? ihl : later;
  if (mtu < head + kFragmentUnit) return 0;
  return (mtu - head) & ~(kFragmentUnit - 1);
}

uint32_t IPFragmentFrameLen(const uint8_t *frame, uint32_t step, uint32_t off) {
  const uint8_t *ip = ip_of(frame);
  return ETH_HEADER_LEN + header_at(ip, off) + piece(ip, step, off);
}

void IPPutFragment(const uint8_t *frame, uint32_t step, uint32_t off, uint8_t *out) {
  const uint8_t *ip = ip_of(frame);
  const uint32_t hl = header_at(ip, off), n = piece(ip, step, off);
  memcpy(out, frame, ETH_HEADER_LEN + IPH_MIN_LEN);
  uint8_t *fip = out + ETH_HEADER_LEN;
  if (off)
    later_header(ip, fip);
  else
    memcpy(fip, ip, hl);
  fip[IPH_VHL] = (uint8_t)((IP_VERSION_4 << 4) | (hl / 4));
  store_be16(fip + IPH_TOTAL_LEN, (uint16_t)(hl + n));
  const bool last = off + n == payload_of(ip);
  const uint16_t df = load_be16(ip + IPH_FRAG) & IP_DONT_FRAGMENT;
  store_be16(fip + IPH_FRAG,
             (uint16_t)(df | (last ? 0 : IP_MORE_FRAGMENTS) | (off / kFragmentUnit)));
  CalcChecksum(fip);
  memcpy(fip + hl, ip + IpHeaderLen(ip) + off, n);
}

uint32_t IPFragmentPayload(const uint8_t *frame) { return payload_of(ip_of(frame)); }

}  // extern "C"
