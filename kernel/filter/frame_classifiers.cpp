#include "kernel/filter/frame_classifiers.h"

#include <stddef.h>

#include "byte_order.h"
#include "kernel/filter/ip_helpers.h"

namespace {

// The fixed BOOTP fields the classifiers read, up to the DHCP magic cookie.
struct __attribute__((packed, may_alias)) BootpHead {
  uint8_t op;          // BOOTP_REQUEST or BOOTP_REPLY
  uint8_t htype;       // BOOTP_HTYPE_ETHERNET
  uint8_t hlen;        // BOOTP_HLEN_ETHERNET
  uint8_t rest[233];   // hops up to the boot file name
  uint8_t cookie[4];   // DHCP_MAGIC_COOKIE, big-endian
};
static_assert(sizeof(BootpHead) == 240, "the DHCP cookie ends 240 bytes into BOOTP");
constexpr uint8_t BOOTP_REQUEST = 1, BOOTP_REPLY = 2, BOOTP_HTYPE_ETHERNET = 1,
                  BOOTP_HLEN_ETHERNET = 6;
constexpr uint16_t BOOTP_SERVER_PORT = 67, BOOTP_CLIENT_PORT = 68;
constexpr uint32_t DHCP_MAGIC_COOKIE = 0x63825363;

// The EAPOL header after the Ethernet header, and the EAP header it carries.
struct __attribute__((packed, may_alias)) EapolHead {
  uint8_t version;
  uint8_t type;        // EAPOL_TYPE_EAP_PACKET
  uint8_t length[2];   // body length, big-endian
};
static_assert(sizeof(EapolHead) == 4, "an EAPOL header is 4 bytes");
struct __attribute__((packed, may_alias)) EapHead {
  uint8_t code;        // EAP_REQUEST or EAP_RESPONSE
  uint8_t id;
  uint8_t length[2];   // EAP length, big-endian
  uint8_t type;        // EAP_TYPE_TLS
};
static_assert(sizeof(EapHead) == 5, "an EAP header with its type is 5 bytes");
constexpr uint8_t EAPOL_TYPE_EAP_PACKET = 0, EAP_REQUEST = 1, EAP_RESPONSE = 2, EAP_TYPE_TLS = 13;

// UDP bytes a BOOTP message needs without and with the cookie, and the
// shortest frame that can carry one.
constexpr uint32_t kBootpMinUdp = UDPH_SIZE + offsetof(BootpHead, cookie);
constexpr uint32_t kDhcpMinUdp = UDPH_SIZE + sizeof(BootpHead);
constexpr uint32_t kBootpMinFrame = ETH_HEADER_LEN + IPH_MIN_LEN + kBootpMinUdp;
static_assert(kBootpMinFrame == 278 && kDhcpMinUdp == 248, "BOOTP sizes");
constexpr uint32_t kArpFrame = ETH_HEADER_LEN + sizeof(ArpEthIpv4);
constexpr uint32_t kEapFrame = ETH_HEADER_LEN + sizeof(EapolHead) + sizeof(EapHead);

// The BOOTP op of an Ethernet frame (1 or 2), 0 when it is not BOOTP.
uint32_t bootp_op(const uint8_t *f, uint32_t len, const uint8_t **udp) {
  if (!f || len < kBootpMinFrame || load_be16(f + ETHH_TYPE) != ETH_TYPE_IPV4) return 0;
  const uint8_t *ip = f + ETH_HEADER_LEN;
  uint32_t ihl = IpHeaderLen(ip);
  if (IpVersion(ip) != IP_VERSION_4 || ihl < IPH_MIN_LEN || ip[IPH_PROTO] != IPPROTO_UDP_NUM ||
      ETH_HEADER_LEN + ihl + UDPH_SIZE > len)
    return 0;
  const uint8_t *u = ip + ihl;
  uint16_t sport = load_be16(u + UDPH_SPORT), dport = load_be16(u + UDPH_DPORT);
  if (!((sport == BOOTP_SERVER_PORT && dport == BOOTP_CLIENT_PORT) ||
        (sport == BOOTP_CLIENT_PORT && dport == BOOTP_SERVER_PORT)))
    return 0;
  if (len - ETH_HEADER_LEN - ihl < kBootpMinUdp) return 0;
  const BootpHead *b = (const BootpHead *)(u + UDPH_SIZE);
  if ((b->op != BOOTP_REQUEST && b->op != BOOTP_REPLY) || b->htype != BOOTP_HTYPE_ETHERNET ||
      b->hlen != BOOTP_HLEN_ETHERNET)
    return 0;
  *udp = u;
  return b->op;
}

}  // namespace

extern "C" {

uint32_t IsArpPacket(const uint8_t *f, uint32_t len) {
  if (!f || len < kArpFrame || load_be16(f + ETHH_TYPE) != ETH_TYPE_ARP) return 0;
  const ArpEthIpv4 *a = (const ArpEthIpv4 *)(f + ETH_HEADER_LEN);
  if (load_be16(a->htype) != ARP_HTYPE_ETHERNET || load_be16(a->ptype) != ETH_TYPE_IPV4 ||
      a->hlen != ARP_HLEN_ETHERNET || a->plen != ARP_PLEN_IPV4)
    return 0;
  uint16_t op = load_be16(a->op);
  return op == ARP_REQUEST ? 1 : op == ARP_REPLY ? 2 : 3;
}

uint32_t IsBootpPacket(const uint8_t *f, uint32_t len) {
  const uint8_t *udp;
  return bootp_op(f, len, &udp);
}

uint32_t IsDhcpPacket(const uint8_t *f, uint32_t len) {
  const uint8_t *udp;
  if (!bootp_op(f, len, &udp) || (uint32_t)(f + len - udp) < kDhcpMinUdp) return 0;
  const BootpHead *b = (const BootpHead *)(udp + UDPH_SIZE);
  return load_be32(b->cookie) == DHCP_MAGIC_COOKIE;
}

uint32_t IsEapTlsPacket(const uint8_t *f, uint32_t len) {
  if (!f || len < kEapFrame || load_be16(f + ETHH_TYPE) != ETH_TYPE_EAPOL) return 0;
  const EapolHead *eapol = (const EapolHead *)(f + ETH_HEADER_LEN);
  if (eapol->type != EAPOL_TYPE_EAP_PACKET) return 0;
  uint32_t body = load_be16(eapol->length);
  if (body < sizeof(EapHead) || len < body + ETH_HEADER_LEN + sizeof(EapolHead)) return 0;
  const EapHead *eap = (const EapHead *)(eapol + 1);
  uint32_t eaplen = load_be16(eap->length);
  if (eaplen < sizeof(EapHead) || eaplen > body ||
      (eap->code != EAP_REQUEST && eap->code != EAP_RESPONSE) || eap->type != EAP_TYPE_TLS)
    return 0;
  return eap->code;
}

}  // extern "C"
