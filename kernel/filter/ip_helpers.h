// IPv4 helpers of the packet path: big-endian field access, the Internet
// checksums of IPv4, UDP and TCP, the parsed packet record that the packet
// path hands to the tunnel and the firewall, and the MSS clamp.
#pragma once
#include "byte_order.h"
#include "kern_host.h"

struct FrameContext;

constexpr uint16_t ETH_TYPE_IPV4 = 0x0800, ETH_TYPE_ARP = 0x0806, ETH_TYPE_EAPOL = 0x888E;
constexpr uint32_t ETH_HEADER_LEN = 14;
constexpr uint32_t ETH_ADDR_LEN = 6;   // a hardware address
// The MTU assumed for an adapter that gives none (or one no larger than a
// link header).
constexpr uint32_t ETH_DEFAULT_MTU = 1500;
// The 802.2 LLC header after the 802.3 length field, the SNAP header that
// follows an LLC header with SNAP saps, and the link header lengths that
// result. Below ETH_MIN_TYPE the type field of a frame is an 802.3 length.
constexpr uint16_t ETH_MIN_TYPE = 1536, ETH_TYPE_IPX = 0x8137;
constexpr uint32_t LLC_DSAP = 14, LLC_SSAP = 15, LLC_CONTROL = 16, SNAP_OUI = 17, SNAP_TYPE = 20;
constexpr uint8_t LLC_SAP_SNAP = 0xAA, LLC_SAP_RAW_IPX = 0xFF, LLC_SAP_IPX = 0xE0,
                  LLC_SAP_NETBIOS = 0xF0, LLC_CONTROL_UI = 3;
constexpr uint32_t LLC_HEADER_UI_LEN = 17, LLC_HEADER_LEN = 18, SNAP_HEADER_LEN = 22;
// The longest link header in front of an IPv4 header.
constexpr uint32_t LINK_MAX_HEADER_LEN = SNAP_HEADER_LEN;
// Field offsets of the Ethernet, IPv4, UDP and TCP headers.
constexpr uint32_t ETHH_DST = 0, ETHH_SRC = 6, ETHH_TYPE = 12;
constexpr uint32_t IPH_VHL = 0, IPH_TOS = 1, IPH_TOTAL_LEN = 2, IPH_ID = 4, IPH_FRAG = 6,
                   IPH_TTL = 8, IPH_PROTO = 9, IPH_CHECKSUM = 10, IPH_SRC = 12, IPH_DST = 16,
                   IPH_MIN_LEN = 20, IPH_MAX_LEN = 60;
// The largest IPv4 packet the total-length field can give.
constexpr uint32_t IP_MAX_TOTAL_LEN = 0xFFFF;
constexpr uint32_t UDPH_SPORT = 0, UDPH_DPORT = 2, UDPH_LEN = 4, UDPH_CHECKSUM = 6, UDPH_SIZE = 8;
constexpr uint32_t TCPH_SPORT = 0, TCPH_DPORT = 2, TCPH_SEQ = 4, TCPH_ACKNUM = 8, TCPH_OFFSET = 12,
                   TCPH_FLAGS = 13, TCPH_WINDOW = 14, TCPH_CHECKSUM = 16, TCPH_OPTIONS = 20,
                   TCPH_MIN_LEN = 20;
constexpr uint8_t IPPROTO_ICMP_NUM = 1;
constexpr uint8_t IPPROTO_TCP_NUM = 6;
constexpr uint8_t IPPROTO_UDP_NUM = 17;
// The IPv4 flags and fragment-offset word.
constexpr uint16_t IP_DONT_FRAGMENT = 0x4000, IP_MORE_FRAGMENTS = 0x2000, IP_OFFSET_MASK = 0x1FFF;
constexpr uint8_t TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_PSH = 0x08, TCP_ACK = 0x10;
// TCP option kinds, the length of the MSS option, and the segment size
// assumed when the MTU leaves no room for a larger one.
constexpr uint8_t TCPOPT_END = 0, TCPOPT_NOP = 1, TCPOPT_MSS = 2, TCPOLEN_MSS = 4;
constexpr uint32_t TCP_DEFAULT_MSS = 536;
constexpr uint8_t TCPOPT_TIMESTAMP = 8, TCPOLEN_TIMESTAMP = 10;
// An option's kind and length bytes, then its value.
constexpr uint32_t TCPOPT_KIND = 0, TCPOPT_LEN = 1, TCPOPT_VALUE = 2;

// The version / header-length byte: version 4 in the high nibble, the
// header length in 32-bit words in the low one.
constexpr uint8_t IP_VERSION_4 = 4, IP_VHL_V4_MIN = 0x45;   // 0x45: version 4, 20 bytes
inline uint32_t IpVersion(const uint8_t *ip) { return ip[IPH_VHL] >> 4; }
inline uint32_t IpHeaderLen(const uint8_t *ip) { return (uint32_t)(ip[IPH_VHL] & 0x0F) * 4; }
// The TCP header length from its data offset (32-bit words, high nibble).
inline uint32_t TcpHeaderLen(const uint8_t *tcp) { return (uint32_t)(tcp[TCPH_OFFSET] >> 4) * 4; }

// An ARP body for IPv4 over Ethernet (fields big-endian, as bytes).
struct __attribute__((packed, may_alias)) ArpEthIpv4 {
  uint8_t htype[2];   // ARP_HTYPE_ETHERNET
  uint8_t ptype[2];   // ETH_TYPE_IPV4
  uint8_t hlen;       // ARP_HLEN_ETHERNET
  uint8_t plen;       // ARP_PLEN_IPV4
  uint8_t op[2];      // ARP_REQUEST or ARP_REPLY
  uint8_t sha[6];     // sender hardware address
  uint8_t spa[4];     // sender IPv4 address
  uint8_t tha[6];     // target hardware address
  uint8_t tpa[4];     // target IPv4 address
};
static_assert(sizeof(ArpEthIpv4) == 28, "an Ethernet/IPv4 ARP body is 28 bytes");
constexpr uint16_t ARP_HTYPE_ETHERNET = 1, ARP_REQUEST = 1, ARP_REPLY = 2;
constexpr uint8_t ARP_HLEN_ETHERNET = 6, ARP_PLEN_IPV4 = 4;

// One IPv4 packet in a frame copy, as the packet path parsed it.
struct IPPacket {
  uint8_t *frame;        // Ethernet-shaped frame copy
  uint32_t linklen;      // link header length in front of ip
  uint8_t *ip;           // the IPv4 header
  uint32_t buflen;       // bytes from ip to the end of the copy
  uint32_t ihl;          // header length in bytes
  uint32_t total;        // IPv4 total length
  uint32_t src, dst;     // host order
  uint8_t proto;
  uint8_t tos;
  uint16_t sport, dport; // 0 unless read from the first fragment
  uint16_t fragoff;      // fragment offset in bytes
  uint8_t mf;            // more fragments
  uint8_t reassembled;
  uint32_t payload;      // total - ihl
  FrameContext *ctx;    // the frame the packet came in
  uint32_t limitflags;   // tunnel size limit: bit 0 applies, bit 1 carried
  uint32_t limit;        // the inner size limit in bytes
  uint32_t clientindex;  // address-table entry of the far end (0 none)
  // A TCP segment cut in place: its data (what follows the TCP header), which
  // stays in the frame it was cut from; null when the payload is behind ip.
  // The TCP checksum is made when the segment is copied to where it goes.
  const uint8_t *cut_data;
};

extern "C" {
// One's-complement sum of len bytes (big-endian words) added to sum, folded
// to 16 bits, not complemented.
uint16_t IPSum(const uint8_t *data, uint32_t len, uint32_t sum);
// The checksum of the IPv4 header: computed over ihl bytes and stored.
void CalcChecksum(uint8_t *ip);
// 1 when the header of ihl bytes sums to 0xFFFF.
uint32_t IsValidIpChkSum(const uint8_t *ip);
// UDP or TCP checksum of the packet at ip (its total length) computed and
// stored; a UDP checksum that comes out 0 is sent as 0xFFFF.
void CalcUdpTcpChkSum(uint8_t *ip);
// The TCP checksum of the len-byte segment at tcp, which lies apart from
// the IPv4 header at ip whose addresses it is sent under; stored.
void CalcTcpChkSumAt(const uint8_t *ip, uint8_t *tcp, uint32_t len);
// 1 when the UDP or TCP checksum of the packet does not verify (a UDP
// checksum of 0 means none and verifies); also 1 when the transport length
// does not fit the packet.
uint32_t IsInvalidUdpTcpChkSum(const uint8_t *ip);

// The value of the first TCP option of the kind with that length within
// the hlen header bytes at tcp; null when there is none before the end
// option or a broken one.
uint8_t *TcpFindOption(uint8_t *tcp, uint32_t hlen, uint8_t kind, uint8_t len);

// Reads addresses, protocol, fragment fields and ports of the packet at ip
// with buflen bytes into p (frame, linklen and port are the caller's).
// 0 done; 1 refused: a first fragment of UDP with under 8 or TCP with under
// 20 payload bytes, a UDP length beyond the IP payload or a TCP data offset
// below 5 or past the segment.
uint32_t IPParsePacket(IPPacket *p);

// Lowers the MSS option of a TCP SYN to what fits the adapter's MTU after
// the tunnel's headers; fixes the TCP checksum. The segment size the option
// then carries is returned (0: not a SYN with an MSS option).
uint32_t IPClampMss(IPPacket *p, uint32_t mtu);
}
