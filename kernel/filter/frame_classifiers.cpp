#include "kernel/filter/frame_classifiers.h"

#include "byte_order.h"
#include "kernel/filter/ip_helpers.h"

namespace {

constexpr uint32_t kBootpMinFrame = 278, kBootpMinUdp = 244, kDhcpMinUdp = 248;

// The BOOTP op of an Ethernet frame (1 or 2), 0 when it is not BOOTP.
uint32_t bootp_op(const uint8_t *f, uint32_t len, const uint8_t **udp) {
  if (!f || len < kBootpMinFrame || load_be16(f + ETHH_TYPE) != ETH_TYPE_IPV4) return 0;
  const uint8_t *ip = f + 14;
  uint32_t ihl = (uint32_t)(ip[IPH_VHL] & 0x0F) * 4;
  if ((ip[IPH_VHL] >> 4) != 4 || ihl < 20 || ip[IPH_PROTO] != IPPROTO_UDP_NUM || 14 + ihl + 8 > len)
    return 0;
  const uint8_t *u = ip + ihl;
  uint16_t sport = load_be16(u), dport = load_be16(u + 2);
  if (!((sport == 67 && dport == 68) || (sport == 68 && dport == 67))) return 0;
  if (len - 14 - ihl < kBootpMinUdp) return 0;
  const uint8_t *b = u + 8;
  if ((b[0] != 1 && b[0] != 2) || b[1] != 1 || b[2] != 6) return 0;
  *udp = u;
  return b[0];
}

}  // namespace

extern "C" {

uint32_t IsArpPacket(const uint8_t *f, uint32_t len) {
  if (!f || len < 42 || load_be16(f + ETHH_TYPE) != 0x0806) return 0;
  const uint8_t *a = f + 14;
  if (load_be16(a) != 1 || load_be16(a + 2) != ETH_TYPE_IPV4 || a[4] != 6 || a[5] != 4) return 0;
  uint16_t op = load_be16(a + 6);
  return op == 1 ? 1 : op == 2 ? 2 : 3;
}

uint32_t IsBootpPacket(const uint8_t *f, uint32_t len) {
  const uint8_t *udp;
  return bootp_op(f, len, &udp);
}

uint32_t IsDhcpPacket(const uint8_t *f, uint32_t len) {
  const uint8_t *udp;
  if (!bootp_op(f, len, &udp) || (uint32_t)(f + len - udp) < kDhcpMinUdp) return 0;
  const uint8_t *cookie = udp + UDPH_SIZE + 236;
  return cookie[0] == 99 && cookie[1] == 130 && cookie[2] == 83 && cookie[3] == 99;
}

uint32_t IsEapTlsPacket(const uint8_t *f, uint32_t len) {
  if (!f || len < 23 || load_be16(f + ETHH_TYPE) != 0x888E || f[15] != 0) return 0;
  uint32_t body = load_be16(f + 16);
  if (body < 5 || len < body + 18) return 0;
  const uint8_t *eap = f + 18;
  uint32_t eaplen = load_be16(eap + 2);
  if (eaplen < 5 || eaplen > body || (eap[0] != 1 && eap[0] != 2) || eap[4] != 13) return 0;
  return eap[0];
}

}  // extern "C"
