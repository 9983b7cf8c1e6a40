#include "kernel/filter/icmp_redirect.h"

#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/frame_context.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/tunnel_data.h"

namespace {

// The link header back to the sender: the addresses of the packet swapped.
void put_link_header(uint8_t *to, const IPPacket *p) {
  memcpy(to + ETHH_DST, p->frame + ETHH_SRC, ETH_ADDR_LEN);
  memcpy(to + ETHH_SRC, p->frame + ETHH_DST, ETH_ADDR_LEN);
  store_be16(to + ETHH_TYPE, ETH_TYPE_IPV4);
}

void put_ip_header(uint8_t *ip, const IPPacket *p, uint32_t total) {
  memset(ip, 0, IPH_MIN_LEN);
  ip[IPH_VHL] = IP_VHL_V4_MIN;
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)total);
  store_be16(ip + IPH_ID, clientnextpackid++);
  ip[IPH_TTL] = FLT_IPH_DEFTTL;
  ip[IPH_PROTO] = IPPROTO_ICMP_NUM;
  memcpy(ip + IPH_SRC, p->ip + IPH_DST, 4);
  memcpy(ip + IPH_DST, p->ip + IPH_SRC, 4);
  CalcChecksum(ip);
}

}  // namespace

extern "C" uint32_t SendIcmpRedirect(const IPPacket *p, uint8_t code) {
  const uint32_t quoted =
      p->ihl + (p->payload < ICMP_QUOTED_PAYLOAD ? p->payload : ICMP_QUOTED_PAYLOAD);
  const uint32_t icmp_len = sizeof(IcmpRedirectHead) + quoted;
  const uint32_t total = IPH_MIN_LEN + icmp_len;
  FilterFrame *f = FilterNewFrame(p->ctx, 0, 0, ETH_HEADER_LEN + total);
  if (!f) return 1;
  put_link_header(f->data, p);
  uint8_t *ip = f->data + ETH_HEADER_LEN;
  put_ip_header(ip, p, total);
  auto *icmp = reinterpret_cast<IcmpRedirectHead *>(ip + IPH_MIN_LEN);
  icmp->type = ICMP_TYPE_REDIRECT;
  icmp->code = code;
  memset(icmp->checksum, 0, sizeof icmp->checksum);
  memcpy(icmp->gateway, p->ip + IPH_DST, sizeof icmp->gateway);
  memcpy(icmp + 1, p->ip, quoted);
  store_be16(icmp->checksum, (uint16_t)~IPSum(ip + IPH_MIN_LEN, icmp_len, 0));
  if (DrvSetFrameToSend(f) == 0) return 0;
  MVFree(f);
  return 1;
}
