#include "tests/packetpath/frames.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"

namespace pp {

const uint8_t kClientMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const uint8_t kGatewayMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};


uint16_t InetSum(const uint8_t *p, size_t n, uint32_t sum) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += (uint32_t)(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += (uint32_t)p[n - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint16_t)sum;
}

static uint32_t Pseudo(const uint8_t *ip, size_t len) {
  uint32_t s = 0;
  for (int i = 12; i < 20; i += 2) s += load_be16(ip + i);
  return s + ip[9] + (uint32_t)len;
}

bool IpChecksumOk(const uint8_t *ip) { return InetSum(ip, (ip[0] & 15) * 4) == 0xFFFF; }

bool TransportChecksumOk(const uint8_t *ip) {
  size_t ihl = (ip[0] & 15) * 4, len = load_be16(ip + 2) - ihl;
  return InetSum(ip + ihl, len, Pseudo(ip, len)) == 0xFFFF;
}

void Reseal(uint8_t *ip) {
  size_t ihl = (ip[0] & 15) * 4, len = load_be16(ip + 2) - ihl;
  store_be16(ip + 10, 0);
  store_be16(ip + 10, (uint16_t)~InetSum(ip, ihl));
  size_t field = ip[9] == 6 ? 16 : ip[9] == 17 ? 6 : ip[9] == 1 ? 2 : 0;
  if (!field || (load_be16(ip + 6) & 0x3FFF)) return;
  store_be16(ip + ihl + field, 0);
  uint16_t c = ip[9] == 1 ? (uint16_t)~InetSum(ip + ihl, len)
                          : (uint16_t)~InetSum(ip + ihl, len, Pseudo(ip, len));
  store_be16(ip + ihl + field, c);
}

Bytes Ipv4(const Ip &h, const Bytes &transport) {
  Bytes p(20 + transport.size(), 0);
  p[0] = 0x45;
  p[1] = h.tos;
  store_be16(&p[2], (uint16_t)p.size());
  store_be16(&p[4], h.id);
  store_be16(&p[6], h.frag);
  p[8] = h.ttl;
  p[9] = h.proto;
  store_be32(&p[12], h.src);
  store_be32(&p[16], h.dst);
  std::copy(transport.begin(), transport.end(), p.begin() + 20);
  Reseal(p.data());
  return p;
}

Bytes Udp(uint16_t sport, uint16_t dport, const Bytes &payload) {
  Bytes u(8 + payload.size(), 0);
  store_be16(&u[0], sport);
  store_be16(&u[2], dport);
  store_be16(&u[4], (uint16_t)u.size());
  std::copy(payload.begin(), payload.end(), u.begin() + 8);
  return u;
}

Bytes TcpSegment(const Tcp &t) {
  size_t hl = 20 + t.options.size();
  Bytes s(hl + t.payload.size(), 0);
  store_be16(&s[0], t.sport);
  store_be16(&s[2], t.dport);
  store_be32(&s[4], t.seq);
  store_be32(&s[8], t.ack);
  s[12] = (uint8_t)((hl / 4) << 4);
  s[13] = t.flags;
  store_be16(&s[14], 65535);
  std::copy(t.options.begin(), t.options.end(), s.begin() + 20);
  std::copy(t.payload.begin(), t.payload.end(), s.begin() + hl);
  return s;
}

Bytes IcmpEcho(uint16_t id, uint16_t seq, const Bytes &payload) {
  Bytes m(8 + payload.size(), 0);
  m[0] = 8;
  store_be16(&m[4], id);
  store_be16(&m[6], seq);
  std::copy(payload.begin(), payload.end(), m.begin() + 8);
  return m;
}

Bytes Ether(const uint8_t dst[6], const uint8_t src[6], uint16_t type, const Bytes &body) {
  Bytes f(14 + body.size());
  memcpy(f.data(), dst, 6);
  memcpy(f.data() + 6, src, 6);
  store_be16(&f[12], type);
  std::copy(body.begin(), body.end(), f.begin() + 14);
  return f;
}

Bytes FromClient(const Ip &h, const Bytes &transport) {
  return Ether(kGatewayMac, kClientMac, 0x0800, Ipv4(h, transport));
}

Bytes FromGateway(const Ip &h, const Bytes &transport) {
  return Ether(kClientMac, kGatewayMac, 0x0800, Ipv4(h, transport));
}

}  // namespace pp
